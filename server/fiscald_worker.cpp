// The line worker: a child process that holds the device through the driver
// and runs one command at a time through the packet layer. The driver ends
// its process when a device fails its set-up (a USB adapter pulled during a
// rate search); here that ends only the worker, and the server goes on.
// The packet layer's calls beyond the driver's two go through packetcalls,
// which stands in for those a layer lacks.
#include "fiscald_worker.h"
#include "fiscalframe.h"
#include "packetcalls.h"
#include "tracelet.h"
#include "ttywire.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

// The worker's end of its socket, once the worker has moved it here.
static const int WORKER_SOCKET = 3;
static const char PROBE[] = "*";

// The rate was taken as remembered, without a probe: until a command is
// answered there, a silent controller means the rate must be searched again.
static int RateUnproven;

static void Report(const WorkerReport *report)
{
    // One message each (a SEQPACKET socket keeps them apart). A keep-alive
    // that finds the socket full is dropped: the next one says the same.
    int flags = MSG_NOSIGNAL | (report->kind == REPORT_KEEPALIVE ? MSG_DONTWAIT : 0);
    if (send(WORKER_SOCKET, report, sizeof *report, flags) < 0 && errno == EPIPE) {
        _exit(0);   // the server is gone
    }
}

static void OnKeepAlive(int port, int kind)
{
    (void)port;
    WorkerReport report;
    memset(&report, 0, sizeof report);
    report.kind = REPORT_KEEPALIVE;
    report.keepalive = kind;
    Report(&report);
}

// One probe at the rate the line is at: 1 answered, 0 not.
static int Probe(int port)
{
    unsigned short status1 = 0;
    unsigned short status2 = 0;
    char answer[PACKET_ANSWER_SIZE];
    int previous = SetCommandRetries(1);
    int answered = MandaPaqueteFiscal(port, PROBE, &status1, &status2, answer) == 0;
    SetCommandRetries(previous);
    return answered;
}

// Sets the line's rate as configured. The rate (0 when none was found) and
// the count of probe frames sent are returned through the arguments.
// keep_memory: the remembered rate is taken with no probe, so that a kept
// command's resend finds the controller's memory; only when the worker
// starts, for a rate that then failed must be searched, probes and all.
static void SetRate(int port, const WorkerSetup *setup, int keep_memory, long *rate, int *probes)
{
    long found = 0;
    *rate = 0;
    *probes = 0;
    if (setup->search && setup->remembered_rate != 0 &&
        SetBaudRate(port, setup->remembered_rate) == 0) {
        if (keep_memory && LayerOffers(LAYER_NEXT_SEQ)) {
            *rate = setup->remembered_rate;
            RateUnproven = 1;
            Tracelet("fiscald: controlador fiscal a %ld baudios, como la ultima vez (sin sondeo)",
                     *rate);
            return;
        }
        *probes += 1;
        if (Probe(port)) {
            *rate = setup->remembered_rate;
            Tracelet("fiscald: controlador fiscal a %ld baudios, como la ultima vez", *rate);
            return;
        }
    }
    if (setup->search) {
        *probes += TTYWIRE_RATES;   // at most; enough to know the controller's memory changed
        if (SearchPrn(port, &found) == 0) {
            *rate = found;
        }
        return;
    }
    if (setup->baud != 0) {
        SetBaudRate(port, setup->baud);
    }
    *rate = setup->baud != 0 ? setup->baud : 9600;
    // A layer that picks its own sequence bytes cannot continue the last
    // server's: its first frame must not meet the controller's memory.
    if (setup->probe_first || (setup->fresh_start && !LayerOffers(LAYER_NEXT_SEQ))) {
        // The controller replays its last answer for a frame that repeats
        // its last sequence byte and body: a fresh server's first command
        // must not meet an earlier server's last frame by chance.
        *probes += 1;
        Probe(port);
    }
}

// The sequence byte before seq, as the server counts them.
static int SeqBefore(int seq)
{
    if (seq < FRAME_SEQ_FIRST || seq > FRAME_SEQ_LAST) {
        return 0;
    }
    return seq == FRAME_SEQ_FIRST ? FRAME_SEQ_LAST : seq - 1;
}

// The command through the packet layer, its outcome into report. A request
// under the sequence byte of the line's last frame repeats that frame: that
// is how the server resends a command whose outcome is unknown, and a new
// command always takes a new byte (the controller would answer it from its
// memory of the last frame otherwise).
static void SendRequest(int port, const WorkerRequest *request, int last_seq, WorkerReport *report)
{
    if (!LayerOffers(LAYER_NEXT_SEQ) && last_seq != 0 && request->seq == last_seq) {
        // Under a byte of the layer's choosing it would be a new command to
        // the controller, and could run a second time.
        Tracelet("fiscald: reenvio no enviado: la capa de paquetes no ofrece SetPacketNextSeq");
        report->packet_error = WORKER_CANNOT_RESEND;
        return;
    }
    if (!LayerOffers(LAYER_MAY_HAVE_RUN) && LayerDeviceGone(port)) {
        // The layer will not say whether a frame left; a device gone before
        // the call says for sure that none did.
        report->packet_error = PACKET_LINE_GONE;
        report->line_gone = 1;
        return;
    }
    LayerSetNextSeq(port, request->seq);
    report->answered = MandaPaqueteFiscal(port, request->body, &report->status1, &report->status2,
                                          report->answer) == 0;
    if (!report->answered) {
        report->packet_error = LayerLastError(port);
        report->may_have_run = LayerMayHaveRun();
    }
    report->line_gone = report->packet_error == PACKET_LINE_GONE ||
                        report->packet_error == PACKET_BAD_PORT;
}

static void RunCommand(int port, const WorkerSetup *setup, const WorkerRequest *request,
                       int last_seq, long *rate)
{
    WorkerReport report;
    memset(&report, 0, sizeof report);
    report.kind = REPORT_RESULT;
    if (*rate == 0 && setup->search) {
        // No controller found yet: every command searches again first.
        SetRate(port, setup, 0, rate, &report.probes);
    }
    if (*rate == 0) {
        report.packet_error = PACKET_NO_ANSWER;
        report.line_gone = LayerLastError(port) == PACKET_LINE_GONE;
    } else {
        SendRequest(port, request, last_seq, &report);
        if (report.answered) {
            RateUnproven = 0;
        } else if (RateUnproven && report.packet_error == PACKET_NO_ANSWER) {
            *rate = 0;   // the next command searches first
        }
    }
    // The server must know whether the next command searches (sends probes).
    report.rate = *rate;
    Report(&report);
    if (report.line_gone) {
        _exit(WORKER_EXIT_LINE_GONE);
    }
}

[[noreturn]] static void WorkerMain(const WorkerSetup *setup)
{
    WorkerReport ready;
    WorkerRequest request;
    long rate = 0;
    int last_seq = SeqBefore(setup->next_seq);
    memset(&ready, 0, sizeof ready);
    // The server stops the worker itself (and SIGKILLs it if it must): a
    // Ctrl+C at a terminal, or a service manager's SIGTERM to the whole
    // group, must not cut a command short on the line.
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    LayerSetWaitHook(OnKeepAlive);
    if (setup->try_limit_ms > 0) {
        LayerSetTryLimit(setup->try_limit_ms);
    }
    int port = start_comm(setup->port_name);   // ends the worker if the device fails
    if (port < 0) {
        _exit(1);
    }
    if (setup->next_seq != 0) {
        LayerSetNextSeq(port, setup->next_seq);
    }
    SetRate(port, setup, setup->keep_memory, &rate, &ready.probes);
    if (rate == 0 && LayerLastError(port) == PACKET_LINE_GONE) {
        _exit(WORKER_EXIT_LINE_GONE);
    }
    ready.kind = rate != 0 ? REPORT_READY : REPORT_NO_RATE;
    ready.rate = rate;
    ready.can_resend = LayerOffers(LAYER_NEXT_SEQ);
    Report(&ready);
    for (;;) {
        ssize_t got = recv(WORKER_SOCKET, &request, sizeof request, 0);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            _exit(0);   // the server closed its end
        }
        if (got == (ssize_t)sizeof request) {
            request.body[PACKET_MAX_COMMAND] = '\0';
            RunCommand(port, setup, &request, last_seq, &rate);
            last_seq = request.seq;
        }
    }
}

// In the child: nothing of the server's may stay open here (a client socket
// held by the worker would outlive the server's close of it), and the worker
// must not outlive the server.
static void BecomeWorker(int sock, pid_t server)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != server) {
        _exit(0);
    }
    if (sock != WORKER_SOCKET && dup2(sock, WORKER_SOCKET) != WORKER_SOCKET) {
        _exit(1);
    }
    if (close_range(WORKER_SOCKET + 1, ~0U, 0) != 0) {
        // A system call filter may refuse it: close them one by one.
        long limit = sysconf(_SC_OPEN_MAX);
        for (long fd = WORKER_SOCKET + 1; fd < (limit > 0 ? limit : 1024); fd++) {
            close((int)fd);
        }
    }
}

// Whether the trace channel writes on standard error: the journal (-j) puts
// its own trace function in place of the driver's, and it writes there.
static int TraceOnStandardError(void)
{
    TraceFunction current = SetTracelet(FISCAL_debug);
    SetTracelet(current);
    return current != FISCAL_debug;
}

// Said once, by the server, when its first worker starts.
static void WarnOfMissingCalls(const WorkerSetup *setup)
{
    static int warned;
    static const char NO_TRY_LIMIT[] =
        "fiscald: aviso: -w no se puede aplicar: la capa de paquetes no ofrece SetPacketTryLimit";
    if (warned || setup->try_limit_ms <= 0 || LayerOffers(LAYER_TRY_LIMIT)) {
        return;
    }
    warned = 1;
    Tracelet("%s", NO_TRY_LIMIT);
    if (!TraceOnStandardError()) {
        fprintf(stderr, "%s\n", NO_TRY_LIMIT);
    }
}

int WorkerStart(const WorkerSetup *setup, pid_t *pid, int *sock)
{
    int pair[2];
    WarnOfMissingCalls(setup);
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        return -1;
    }
    pid_t server = getpid();
    fflush(nullptr);   // nothing buffered may be written twice
    pid_t child = fork();
    if (child < 0) {
        close(pair[0]);
        close(pair[1]);
        return -1;
    }
    if (child == 0) {
        BecomeWorker(pair[1], server);
        WorkerMain(setup);
    }
    close(pair[1]);
    *pid = child;
    *sock = pair[0];
    return 0;
}
