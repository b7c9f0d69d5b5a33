// fiscald's command line: short options as before, long ones beside them,
// every number checked against its range, and the usage a person reads.
#include "fiscald_options.h"
#include "controlprotocol.h"
#include "fiscalpacket.h"
#include "kitversion.h"
#include "tracelet.h"
#include "ttywire.h"
#include "wholenumber.h"

#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

static const char USAGE[] =
    "uso: fiscald [opciones] puerto_serie\n"
    "  -l, --listen DIRECCION   direccion IPv4 donde escuchar (127.0.0.1; 0.0.0.0: todas)\n"
    "  -p, --port PUERTO        puerto TCP (1600; 0: uno libre)\n"
    "  -b, --baud BAUDIOS       velocidad de la linea: 1200 2400 4800 9600 19200 38400 (9600)\n"
    "  -s, --search             buscar la velocidad a la que responde el controlador\n"
    "  -i, --interim MS         intervalo de las respuestas intermedias DC2/DC4 (10000; "
    "100-60000)\n"
    "  -w, --try-limit MS       silencio que da por perdido un intento (500; 300-60000)\n"
    "  -t, --idle SEGUNDOS      desconectar al cliente inactivo este tiempo (300; 0: nunca)\n"
    "  -c, --max-clients N      clientes conectados a la vez (64; 1-1000)\n"
    "  -a, --allow REDES        redes de clientes admitidas: a.b.c.d/n, separadas por comas;\n"
    "                           se puede repetir (sin ninguna: todas)\n"
    "  -v, --verbose            traza en la consola\n"
    "  -f, --trace-file ARCHIVO traza en este archivo\n"
    "  -j, --journal            cada mensaje como una linea simple en la salida de errores\n"
    "      --state-file ARCHIVO la memoria de la linea: velocidad, secuencia y comandos en duda\n"
    "      --one-till-per-address   cada direccion es una sola caja: una conexion nueva\n"
    "                           puede reenviar el comando en duda de la anterior\n"
    "      --control-socket ARCHIVO   socket de control para --status y --forget\n"
    "  -h, --help               esta ayuda\n"
    "  -V, --version            la version\n"
    "uso: fiscald --status [INSTANCIA|SOCKET]   como esta un servidor en marcha\n"
    "     fiscald --forget ID [INSTANCIA|SOCKET]\n"
    "                           olvidar su comando en duda ID, una vez visto en los\n"
    "                           registros del controlador si se ejecuto\n"
    "puerto_serie: nombre bajo /dev/ (ttyS0, ttyUSB0) o ruta absoluta; los enlaces\n"
    "(/dev/serial/by-id/...) se resuelven en cada apertura.\n"
    "Escribe \"escuchando en DIRECCION:PUERTO\" al estar listo; termina con SIGINT o SIGTERM.\n";

static const char SHORT_OPTIONS[] = "+:l:p:b:si:w:t:c:a:vf:jhV";
static const int STATE_FILE_OPTION = 1000;
static const int ONE_TILL_OPTION = 1001;
static const int CONTROL_OPTION = 1002;
static const int STATUS_OPTION = 1003;
static const int FORGET_OPTION = 1004;
static const struct option LONG_OPTIONS[] = {
    {"listen", required_argument, nullptr, 'l'},
    {"port", required_argument, nullptr, 'p'},
    {"baud", required_argument, nullptr, 'b'},
    {"search", no_argument, nullptr, 's'},
    {"interim", required_argument, nullptr, 'i'},
    {"try-limit", required_argument, nullptr, 'w'},
    {"idle", required_argument, nullptr, 't'},
    {"max-clients", required_argument, nullptr, 'c'},
    {"allow", required_argument, nullptr, 'a'},
    {"verbose", no_argument, nullptr, 'v'},
    {"trace-file", required_argument, nullptr, 'f'},
    {"journal", no_argument, nullptr, 'j'},
    {"state-file", required_argument, nullptr, STATE_FILE_OPTION},
    {"one-till-per-address", no_argument, nullptr, ONE_TILL_OPTION},
    {"control-socket", required_argument, nullptr, CONTROL_OPTION},
    {"status", no_argument, nullptr, STATUS_OPTION},
    {"forget", required_argument, nullptr, FORGET_OPTION},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

static int BadOption(const char *message, const char *value)
{
    if (value != nullptr) {
        fprintf(stderr, "fiscald: %s: %s\n%s", message, value, USAGE);
    } else {
        fprintf(stderr, "fiscald: %s\n%s", message, USAGE);
    }
    return 2;
}

// The option as the person wrote it, for the message: "-p" or "--port".
static void OptionShown(const char *written, char *shown, size_t size)
{
    if (written != nullptr && strncmp(written, "--", 2) == 0) {
        snprintf(shown, size, "%.*s", (int)strcspn(written, "="), written);
    } else {
        snprintf(shown, size, "-%c", (char)optopt);
    }
}

// A number within its range into *value; 2 (message printed) when it is not.
static int TakeNumber(const char *text, long low, long high, long *value, const char *message)
{
    *value = ParseWholeNumber(text, low, high);
    return *value < 0 ? BadOption(message, text) : -1;
}

static int TakeOption(int option, const char *value, ServerOptions *options)
{
    switch (option) {
    case 'l':
        options->address = value;
        return -1;
    case 'p':
        return TakeNumber(value, 0, 65535, &options->tcp_port, "puerto TCP invalido (0-65535)");
    case 'b':
        options->baud = ParseWholeNumber(value, 1, 38400);
        if (options->baud < 0 || !BaudRateKnown(options->baud)) {
            return BadOption("velocidad invalida (1200 2400 4800 9600 19200 38400)", value);
        }
        return -1;
    case 's':
        options->search = 1;
        return -1;
    case 'i':
        return TakeNumber(value, FISCALD_INTERIM_MIN_MS, FISCALD_INTERIM_MAX_MS,
                          &options->interim_ms, "intervalo invalido (100-60000 ms)");
    case 'w':
        return TakeNumber(value, PACKET_TRY_LIMIT_MIN_MS, PACKET_TRY_LIMIT_MAX_MS,
                          &options->try_limit_ms, "espera invalida (300-60000 ms)");
    case 't':
        return TakeNumber(value, 0, FISCALD_MAX_IDLE_S, &options->idle_s,
                          "tiempo de inactividad invalido (0-86400 s)");
    case 'c':
        return TakeNumber(value, 1, FISCALD_MAX_CLIENTS, &options->max_clients,
                          "limite de clientes invalido (1-1000)");
    case 'a':
        if (AccessAdd(&options->access, value) != 0) {
            return BadOption("red invalida o demasiadas redes (a.b.c.d/n, hasta 64)", value);
        }
        return -1;
    case 'v':
        options->verbose = 1;
        return -1;
    case 'f':
        // An empty name is "no trace file", so that a configuration file can
        // leave the setting empty.
        options->trace_file = value[0] != '\0' ? value : nullptr;
        if (options->trace_file != nullptr && strlen(options->trace_file) > TRACELET_PATH_MAX) {
            return BadOption("ruta del archivo de traza demasiado larga", value);
        }
        return -1;
    case 'j':
        options->journal = 1;
        return -1;
    case STATE_FILE_OPTION:
        options->state_file = value[0] != '\0' ? value : nullptr;
        return -1;
    case ONE_TILL_OPTION:
        options->one_till_per_address = 1;
        return -1;
    case CONTROL_OPTION:
        options->control = value[0] != '\0' ? value : nullptr;
        return -1;
    case STATUS_OPTION:
        snprintf(options->ask_request, sizeof options->ask_request, "%s", CONTROL_STATUS);
        options->ask = options->ask_request;
        return -1;
    case FORGET_OPTION:
        if (ParseWholeNumber(value, 1, LONG_MAX) < 0) {
            return BadOption("numero de comando en duda invalido", value);
        }
        snprintf(options->ask_request, sizeof options->ask_request, "%s %s", CONTROL_FORGET, value);
        options->ask = options->ask_request;
        return -1;
    case 'h':
        fputs(USAGE, stdout);
        return 0;
    case 'V':
        printf("fiscald %s\n", KIT_VERSION);
        return 0;
    default:
        return 2;
    }
}

static void SetDefaults(ServerOptions *options)
{
    memset(options, 0, sizeof *options);
    options->address = FISCALD_DEFAULT_ADDRESS;
    options->tcp_port = FISCALD_DEFAULT_PORT;
    options->interim_ms = FISCALD_DEFAULT_INTERIM_MS;
    options->idle_s = FISCALD_DEFAULT_IDLE_S;
    options->max_clients = FISCALD_DEFAULT_CLIENTS;
}

int ParseServerOptions(int argc, char **argv, ServerOptions *options)
{
    int option;
    SetDefaults(options);
    opterr = 0;
    while ((option = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
        if (option == ':' || option == '?') {
            char shown[64];
            OptionShown(argv[optind - 1], shown, sizeof shown);
            return BadOption(option == ':' ? "falta el valor de" : "opcion desconocida", shown);
        }
        int status = TakeOption(option, optarg, options);
        if (status >= 0) {
            return status;
        }
    }
    if (options->ask != nullptr) {
        // Asking a running server: at most the server's name follows.
        if (optind + 1 < argc) {
            return BadOption("sobra un argumento", argv[optind + 1]);
        }
        options->ask_target = optind < argc ? argv[optind] : nullptr;
        return -1;
    }
    if (options->baud != 0 && options->search) {
        return BadOption("-b y -s no van juntos", nullptr);
    }
    if (optind >= argc) {
        return BadOption("falta el puerto serie", nullptr);
    }
    if (optind + 1 < argc) {
        return BadOption("sobra un argumento", argv[optind + 1]);
    }
    options->device = argv[optind];
    if (options->device[0] == '\0' || strlen(options->device) > FISCALD_MAX_PATH) {
        return BadOption("nombre de puerto vacio o demasiado largo", options->device);
    }
    return -1;
}
