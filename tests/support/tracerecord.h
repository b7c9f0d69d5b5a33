// The driver's traces recorded for tests, in place of the trace function
// (tracelet.h, from the driver the test links).
//
//   StartRecordingTraces()   records every message from now on, from none
//   StopRecordingTraces()    gives tracing back to the function it replaced
//   RecordedTraces()         the messages recorded, in order
#pragma once

#include "tracelet.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace tracerecord {

inline std::vector<std::string> &RecordedTraces()
{
    static std::vector<std::string> messages;
    return messages;
}

inline TraceFunction &ReplacedTracer()
{
    static TraceFunction replaced = nullptr;
    return replaced;
}

inline void RecordTrace(const char *format, va_list args)
{
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    RecordedTraces().push_back(text);
}

inline void StartRecordingTraces()
{
    RecordedTraces().clear();
    ReplacedTracer() = SetTracelet(RecordTrace);
}

inline void StopRecordingTraces()
{
    SetTracelet(ReplacedTracer());
}

}   // namespace tracerecord
