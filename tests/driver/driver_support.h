// Test support for the driver modules: pseudo-terminals, a trace recorder,
// console capture and the host pieces a program linking the driver supplies.
#pragma once

#include "childprocess.h"
#include "tracerecord.h"

#include <string>
#include <vector>

// Files and folders as every test folder handles them (tests/support).
using childprocess::MakeTempDir;
using childprocess::ReadFile;
using childprocess::RemoveTree;
using childprocess::WriteFile;

// One pseudo-terminal pair; the driver opens the slave side through
// start_comm(port_name), the test plays the device on the master side.
struct Pty {
    int master = -1;
    std::string port_name;    // "pts/N", as start_comm takes it
    std::string slave_path;   // "/dev/pts/N"
};

Pty OpenPty();
void ClosePty(Pty &pty);
// Waits up to two seconds for fd to have a byte to read.
bool WaitReadable(int fd);

// Every message handed to the trace function since StartRecordingTraces.
using tracerecord::RecordedTraces;
using tracerecord::StartRecordingTraces;
using tracerecord::StopRecordingTraces;

// Runs body with standard output sent to a file, and returns what it printed.
template <typename Body> std::string CaptureStdout(Body body);
void BeginStdoutCapture();
std::string EndStdoutCapture();
template <typename Body> std::string CaptureStdout(Body body)
{
    BeginStdoutCapture();
    body();
    return EndStdoutCapture();
}

// For death tests: from inside the dying child, send standard output to path.
void SendStdoutTo(const std::string &path);

bool FileExists(const std::string &path);
