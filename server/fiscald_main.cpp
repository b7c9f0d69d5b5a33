// fiscald: options, tracing, the line and the listening socket set up, then
// the serving loop (fiscald_serve.cpp) until a signal ends it.
#include "fiscald_ask.h"
#include "fiscald_clients.h"
#include "fiscald_control.h"
#include "fiscald_dispatch.h"
#include "fiscald_handover.h"
#include "fiscald_journal.h"
#include "fiscald_line.h"
#include "fiscald_notify.h"
#include "fiscald_options.h"
#include "fiscald_serve.h"
#include "fiscald_state.h"
#include "monoclock.h"
#include "tracelet.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static char StdoutBuffer[1024];

static int SetUpTracing(const ServerOptions *options)
{
    set_debug_options(options->verbose, options->trace_file != nullptr,
                      options->trace_file != nullptr ? options->trace_file : "");
    if (options->trace_file != nullptr) {
        int probe = debopen(options->trace_file);
        if (probe < 0) {
            fprintf(stderr, "fiscald: no se puede escribir el archivo de traza %s: %s\n",
                    options->trace_file, strerror(errno));
            return -1;
        }
        close(probe);
    }
    if (options->journal) {
        JournalUse();
    }
    return 0;
}

// A fresh start: the line opened (and its rate set or searched), then the
// socket. 0, or the exit status.
static int StartAfresh(const ServerOptions *options, int signals, int *bound_port)
{
    const char *reason = "";
    if (LineStartUp() != 0) {
        return 1;
    }
    int line = ServeWaitForLine(signals);
    if (line != 0) {
        if (line == 1) {
            fprintf(stderr, "fiscald: la linea %s no se pudo abrir\n", options->device);
        }
        LineClose();
        return line == 1 ? 1 : -1;
    }
    if (ClientsListen(options->address, (int)options->tcp_port, bound_port, &reason) != 0) {
        fprintf(stderr, "fiscald: no se puede escuchar en %s:%ld: %s: %s\n", options->address,
                options->tcp_port, reason, strerror(errno));
        LineClose();
        return 1;
    }
    if (options->access.count == 0 && !AccessIsLoopback(options->address)) {
        static const char WARNING[] = "fiscald: aviso: escucha en %s sin redes admitidas (-a): "
                                      "cualquier equipo que llegue al puerto puede mandar "
                                      "comandos";
        Tracelet(WARNING, options->address);
        if (!options->journal) {
            fprintf(stderr, WARNING, options->address);
            fputc('\n', stderr);
        }
    }
    return 0;
}

// Without its control socket the server still serves the tills: only the
// operator's view is missing, and the trace says why.
static void ListenForControl(const ServerOptions *options)
{
    char why[256];
    if (options->control != nullptr && ControlListen(options->control, why, sizeof why) != 0) {
        Tracelet("fiscald: %s", why);
    }
}

// Serves until a signal ends it; SIGUSR2 hands the service to the program
// installed at its path, which goes on serving in this same process.
static void Serve(const ServerOptions *options, int signals, char **argv)
{
    for (;;) {
        int round = ServeRound(signals, FISCALD_LONGEST_WAIT_MS);
        if (round == 0) {
            return;
        }
        if (round == 2) {
            StateClose();
            // The new program makes the control socket anew at the same path.
            ControlClose(0);
            HandoverExec(argv);   // returns only when it failed
            ServeHandoverFailed();
            ListenForControl(options);
        }
    }
}

int main(int argc, char **argv)
{
    static ServerOptions options;
    int bound_port = 0;
    setvbuf(stdout, StdoutBuffer, _IOLBF, sizeof StdoutBuffer);
    int parsed = ParseServerOptions(argc, argv, &options);
    if (parsed >= 0) {
        return parsed;
    }
    if (options.ask != nullptr) {
        return AskServer(options.ask_target, options.ask);
    }
    if (SetUpTracing(&options) != 0) {
        return 1;
    }
    NotifyStart();
    int signals = ServeCatchSignals();
    if (signals < 0) {
        fprintf(stderr, "fiscald: signalfd: %s\n", strerror(errno));
        return 1;
    }
    static StateRecord kept;   // too big for the stack
    char why[512];
    if (StateOpen(options.state_file, &kept, why, sizeof why) != 0) {
        fprintf(stderr, "fiscald: %s\n", why);
        return 1;
    }
    ClientsConfigure(&options);
    LineConfigure(&options, kept.rate, kept.sound ? kept.last_seq : 0);
    DispatchConfigure(&options);
    int handed = HandoverTake();
    if (handed < 0) {
        return 1;   // the service manager starts it afresh
    }
    if (handed == 0) {
        DispatchRestore(&kept, MonotonicMs());
        int started = StartAfresh(&options, signals, &bound_port);
        if (started != 0) {
            return started < 0 ? 0 : started;
        }
    } else {
        bound_port = ClientsBoundPort();
    }
    ListenForControl(&options);
    printf("escuchando en %s:%d\n", options.address, bound_port);
    Tracelet("fiscald: escuchando en %s:%d", options.address, bound_port);
    NotifyReady(MonotonicMs());
    Serve(&options, signals, argv);
    Tracelet("fiscald: fin por senal");
    ControlClose(1);
    ClientsCloseAll();
    LineClose();
    StateClose();
    return 0;
}
