// A simulator on its own thread and a port opened on it through the driver,
// for tests of the packet layer and the controller search.
#ifndef TESTS_SIMLINE_FIXTURE_H
#define TESTS_SIMLINE_FIXTURE_H

#include "fiscalpacket.h"
#include "fiscalsim.h"
#include "tracelet.h"
#include "tracerecord.h"
#include "ttywire.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using tracerecord::RecordedTraces;

class SimLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        tracerecord::StartRecordingTraces();
        ASSERT_EQ(fiscalsim_open(9600, 700, nullptr), 0);
        runner_ = std::thread(fiscalsim_run);
        port_ = start_comm(fiscalsim_port_name());
        ASSERT_GE(port_, 0);
    }

    void TearDown() override
    {
        if (port_ >= 0 && PortControl[port_].in_use) {
            end_comm(&PortControl[port_]);
        }
        fiscalsim_stop();
        if (runner_.joinable()) {
            runner_.join();
        }
        fiscalsim_close();
        tracerecord::StopRecordingTraces();
    }

    // One exchange; the answer buffer is returned whole, sentinel bytes and all.
    int Send(const std::string &command, std::string *answer = nullptr)
    {
        char buffer[PACKET_ANSWER_SIZE] = {};
        s1_ = s2_ = 0xDEAD;
        int result = MandaPaqueteFiscal(port_, command.c_str(), &s1_, &s2_, buffer);
        if (answer != nullptr) {
            *answer = buffer;
        }
        return result;
    }

    static long long ElapsedMs(std::chrono::steady_clock::time_point since)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - since)
            .count();
    }

    int port_ = -1;
    unsigned short s1_ = 0, s2_ = 0;
    std::thread runner_;
};

#endif
