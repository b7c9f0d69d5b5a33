// The host's side of the simulator's line, for tests that write frames on
// its pty themselves:
//
//   Frame(seq, body)                  a command frame as the framing encodes it
//   Answer(seq, s1, s2, fields)       an answer frame as the framing encodes it
//   OpenRawLine(name, speed)          the pty "pts/N" opened raw at a speed
#pragma once

#include "fiscalframe.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

// "" when the framing refuses the body.
inline std::string Frame(unsigned char seq, const std::string &body)
{
    char out[FRAME_MAX_WIRE];
    int len = FrameEncode(seq, body.data(), (int)body.size(), out, sizeof out);
    return std::string(out, len < 0 ? 0 : len);
}

inline std::string Answer(unsigned char seq, unsigned short s1, unsigned short s2,
                          const std::string &fields)
{
    char out[FRAME_MAX_WIRE];
    int len = FrameEncodeAnswer(seq, s1, s2, fields.c_str(), out, sizeof out);
    return std::string(out, len < 0 ? 0 : len);
}

// Non-blocking, no controlling terminal; -1 when it does not open.
inline int OpenRawLine(const std::string &name, speed_t speed)
{
    int fd = open(("/dev/" + name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings;
    if (fd >= 0 && tcgetattr(fd, &settings) == 0) {
        cfmakeraw(&settings);
        cfsetospeed(&settings, speed);
        cfsetispeed(&settings, speed);
        tcsetattr(fd, TCSANOW, &settings);
    }
    return fd;
}
