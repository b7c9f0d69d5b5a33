// fiscald: options, signals and the serving loop. One client at a time; each
// receive is one command for the controller and gets one final reply.
#include "fiscald.h"
#include "fiscalpacket.h"
#include "tracelet.h"
#include "ttywire.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char Usage[] =
    "uso: fiscald [-l direccion] [-p puerto_tcp] [-b baudios | -s] [-i ms] [-w ms]\n"
    "             [-t segundos] [-v] [-f archivo] puerto_serie\n"
    "  -l direccion  direccion IPv4 donde escuchar (127.0.0.1; 0.0.0.0: todas)\n"
    "  -p puerto_tcp puerto TCP (1600; 0: uno libre)\n"
    "  -b baudios    velocidad de la linea: 1200 2400 4800 9600 19200 38400 (9600)\n"
    "  -s            buscar la velocidad a la que responde el controlador\n"
    "  -i ms         intervalo de las respuestas intermedias DC2/DC4 (1000; 100-60000)\n"
    "  -w ms         silencio que da por perdido un intento (500; 300-60000)\n"
    "  -t segundos   desconectar al cliente inactivo este tiempo (300; 0: nunca)\n"
    "  -v            traza en la consola\n"
    "  -f archivo    traza en este archivo\n"
    "  -h            esta ayuda\n"
    "puerto_serie: nombre bajo /dev/ (ttyS0, pts/4) o ruta absoluta del dispositivo.\n"
    "Escribe \"escuchando en DIRECCION:PUERTO\" al estar listo; termina con SIGINT o SIGTERM.\n";

// How often the loop looks at the stop flag, the idle client and a vanished line.
static const int LOOP_POLL_MS = 250;

static volatile sig_atomic_t StopRequested;
static char StdoutBuffer[1024];
static char PortName[FISCALD_MAX_NAME + 1];
static char Received[FISCALD_RECEIVE_MAX];
static char Reply[FISCALD_REPLY_MAX + 1];

struct Options {
    const char *address;
    long tcp_port;
    long baud;
    int search;
    long interim_ms;
    long try_limit_ms;
    long idle_s;
    int verbose;
    const char *trace_file;
};

static void OnStopSignal(int signal_number)
{
    (void)signal_number;
    StopRequested = 1;
}

static int BadOption(const char *message, const char *value)
{
    if (value != NULL)
        fprintf(stderr, "fiscald: %s: %s\n%s", message, value, Usage);
    else
        fprintf(stderr, "fiscald: %s\n%s", message, Usage);
    return 2;
}

// Whole decimal number within low..high, or -1 (every range here is >= 0).
static long ParseNumber(const char *text, long low, long high)
{
    char *end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value < low ||
        value > high)
        return -1;
    return value;
}

static int RateInTable(long baud)
{
    for (int row = 0; row < TTYWIRE_RATES; row++)
        if (BaudTbl[row].baud == baud)
            return 1;
    return 0;
}

// start_comm takes a name under /dev/. An absolute path is turned into one:
// a link kept elsewhere (one that follows a device coming back under another
// name) is reached as "../path".
static int TakePortName(const char *given)
{
    const char *name = given;
    const char *prefix = "";
    if (strncmp(given, "/dev/", 5) == 0)
        name = given + 5;
    else if (given[0] == '/') {
        prefix = "..";
    }
    int written = snprintf(PortName, sizeof PortName, "%s%s", prefix, name);
    return written > 0 && written < (int)sizeof PortName ? 0 : -1;
}

static int ParseOptions(int argc, char **argv, struct Options *options)
{
    int option;
    opterr = 0;
    while ((option = getopt(argc, argv, "+l:p:b:si:w:t:vf:h")) != -1) {
        switch (option) {
        case 'l':
            options->address = optarg;
            break;
        case 'p':
            options->tcp_port = ParseNumber(optarg, 0, 65535);
            if (options->tcp_port < 0)
                return BadOption("puerto TCP invalido (0-65535)", optarg);
            break;
        case 'b':
            options->baud = ParseNumber(optarg, 1, 38400);
            if (options->baud < 0 || !RateInTable(options->baud))
                return BadOption("velocidad invalida (1200 2400 4800 9600 19200 38400)", optarg);
            break;
        case 's':
            options->search = 1;
            break;
        case 'i':
            options->interim_ms = ParseNumber(optarg, FISCALD_INTERIM_MIN_MS, FISCALD_INTERIM_MAX_MS);
            if (options->interim_ms < 0)
                return BadOption("intervalo invalido (100-60000 ms)", optarg);
            break;
        case 'w':
            options->try_limit_ms = ParseNumber(optarg, PACKET_TRY_LIMIT_MIN_MS, PACKET_TRY_LIMIT_MAX_MS);
            if (options->try_limit_ms < 0)
                return BadOption("espera invalida (300-60000 ms)", optarg);
            break;
        case 't':
            options->idle_s = ParseNumber(optarg, 0, FISCALD_MAX_IDLE_S);
            if (options->idle_s < 0)
                return BadOption("tiempo de inactividad invalido (0-86400 s)", optarg);
            break;
        case 'v':
            options->verbose = 1;
            break;
        case 'f':
            options->trace_file = optarg;
            break;
        case 'h':
            fputs(Usage, stdout);
            return 0;
        default: {
            char shown[3] = {'-', (char)optopt, '\0'};
            return BadOption(strchr("lpbiwtf", optopt) != NULL && optopt != 0
                                 ? "falta el valor de" : "opcion desconocida", shown);
        }
        }
    }
    if (options->baud != 0 && options->search)
        return BadOption("-b y -s no van juntos", NULL);
    if (optind >= argc)
        return BadOption("falta el puerto serie", NULL);
    if (optind + 1 < argc)
        return BadOption("sobra un argumento", argv[optind + 1]);
    if (argv[optind][0] == '\0' || TakePortName(argv[optind]) != 0)
        return BadOption("nombre de puerto vacio o demasiado largo (44 caracteres bajo /dev/)",
                         argv[optind]);
    if (options->trace_file != NULL && strlen(options->trace_file) > 399)
        return BadOption("ruta del archivo de traza demasiado larga", options->trace_file);
    return -1;
}

static void CatchSignals(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    // No SA_RESTART: a signal must wake the loop out of its waits.
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, NULL);
}

static long long NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static void Serve(long idle_s)
{
    long long last_activity = NowMs();
    while (!StopRequested) {
        LineCheck();
        if (!ClientConnected()) {
            int accepted = ServerAccept(LOOP_POLL_MS);
            if (accepted < 0) {
                Tracelet("fiscald: accept fallo, errno %d", errno);
                poll(NULL, 0, LOOP_POLL_MS);
            }
            last_activity = NowMs();
            continue;
        }
        int got = ClientReceive(Received, LOOP_POLL_MS);
        if (got > 0) {
            ClientCommandBegin();
            int length = LineExchange(Received, (size_t)got, Reply, sizeof Reply);
            ClientCommandEnd(Reply, length);
            last_activity = NowMs();
        } else if (got == 0 && idle_s > 0 && NowMs() - last_activity > idle_s * 1000) {
            Tracelet("fiscald: cliente inactivo por %ld s", idle_s);
            ClientDrop();
        }
    }
}

int main(int argc, char **argv)
{
    struct Options options = {FISCALD_DEFAULT_ADDRESS, FISCALD_DEFAULT_PORT, 0, 0,
                              FISCALD_DEFAULT_INTERIM_MS, 0, FISCALD_DEFAULT_IDLE_S, 0, NULL};
    int bound_port = 0;
    const char *reason = "";
    setvbuf(stdout, StdoutBuffer, _IOLBF, sizeof StdoutBuffer);
    int parsed = ParseOptions(argc, argv, &options);
    if (parsed >= 0)
        return parsed;
    set_debug_options(options.verbose, options.trace_file != NULL,
                      options.trace_file != NULL ? options.trace_file : "");
    if (options.trace_file != NULL) {
        int probe = debopen(options.trace_file);
        if (probe < 0) {
            fprintf(stderr, "fiscald: no se puede escribir el archivo de traza %s: %s\n",
                    options.trace_file, strerror(errno));
            return 1;
        }
        close(probe);
    }
    if (options.try_limit_ms > 0)
        SetPacketTryLimit((int)options.try_limit_ms);
    ServerSetInterim((int)options.interim_ms);
    SetPacketWaitHook(ClientWaitHook);
    CatchSignals();
    if (LineOpen(PortName, options.baud, options.search) != 0)
        return 1;
    if (ServerListen(options.address, (int)options.tcp_port, &bound_port, &reason) != 0) {
        fprintf(stderr, "fiscald: no se puede escuchar en %s:%ld: %s: %s\n", options.address,
                options.tcp_port, reason, strerror(errno));
        LineClose();
        return 1;
    }
    printf("escuchando en %s:%d\n", options.address, bound_port);
    Tracelet("fiscald: escuchando en %s:%d", options.address, bound_port);
    Serve(options.idle_s);
    Tracelet("fiscald: fin por senal");
    ServerClose();
    LineClose();
    return 0;
}
