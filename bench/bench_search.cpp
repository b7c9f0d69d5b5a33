// SearchPrn against the simulator at each of the six rates, with the packet
// layer's default try limit, and one answered status command at the rate
// found, to show where the search's time goes: every rate below the right one
// costs one silent try. Prints one JSON object per line:
//   {"rate": R, "search_ms": [...], "exchange_us": U, "try_limit_ms": L}
//   bench_search [repeats]
#include "fiscalpacket.h"
#include "fiscalsim.h"
#include "ttywire.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

static double NowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

int main(int argc, char **argv)
{
    int repeats = argc > 1 ? atoi(argv[1]) : 3;
    if (fiscalsim_open(9600, 3000, nullptr) != 0) {
        perror("fiscalsim_open");
        return 1;
    }
    std::thread simulator([] { fiscalsim_run(); });
    const long rates[] = {1200, 2400, 4800, 9600, 19200, 38400};
    int status = 0;
    for (long rate : rates) {
        fiscalsim_set_rate(rate);
        std::vector<double> times;
        double exchange_us = 0;
        for (int repeat = 0; repeat < repeats && status == 0; repeat++) {
            int slot = start_comm(fiscalsim_port_name());
            long found = 0;
            double start = NowMs();
            int result = SearchPrn(slot, &found);
            times.push_back(NowMs() - start);
            if (result != 0 || found != rate) {
                fprintf(stderr, "bench_search: rate %ld not found (%d, %ld)\n", rate, result,
                        found);
                status = 1;
            }
            if (repeat == 0) {
                const int exchanges = 200;
                unsigned short s1, s2;
                char answer[500];
                double begin = NowMs();
                for (int i = 0; i < exchanges; i++)
                    MandaPaqueteFiscal(slot, "*", &s1, &s2, answer);
                exchange_us = (NowMs() - begin) * 1000 / exchanges;
            }
            end_comm(&PortControl[slot]);
        }
        printf("{\"rate\": %ld, \"search_ms\": [", rate);
        for (size_t i = 0; i < times.size(); i++)
            printf("%s%.2f", i ? ", " : "", times[i]);
        printf("], \"exchange_us\": %.1f, \"try_limit_ms\": %d}\n", exchange_us,
               PACKET_TRY_LIMIT_MS);
        fflush(stdout);
    }
    fiscalsim_stop();
    simulator.join();
    fiscalsim_close();
    return status;
}
