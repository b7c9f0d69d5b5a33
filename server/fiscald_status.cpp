// How the server is, in the words an operator reads: one line for the
// service manager, and a report of every part for the control socket.
// Times are the wall clock's, taken back from the monotonic one the server
// keeps them in.
#include "fiscald_status.h"
#include "fiscald_access.h"
#include "fiscald_clients.h"
#include "fiscald_dispatch.h"
#include "fiscald_line.h"
#include "fiscald_state.h"
#include "kitversion.h"
#include "printable.h"

#include <arpa/inet.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

// A queued command is shown this far: the queue moves on; a command in doubt
// is shown whole.
static const size_t QUEUED_SHOWN = 60;

struct Text {
    char *out;
    size_t size;
    size_t used;
    int cut;
};

// Declared ahead only to carry the format check, which g++ and clang offer.
#if defined(__GNUC__)
static void Add(struct Text *text, const char *format, ...) __attribute__((format(printf, 2, 3)));
#endif

static void Add(struct Text *text, const char *format, ...)
{
    va_list arguments;
    if (text->cut || text->used + 1 >= text->size) {
        text->cut = 1;
        return;
    }
    va_start(arguments, format);
    int wrote = vsnprintf(text->out + text->used, text->size - text->used, format, arguments);
    va_end(arguments);
    if (wrote < 0 || (size_t)wrote >= text->size - text->used) {
        text->cut = 1;
        text->out[text->used] = '\0';   // no half line
        return;
    }
    text->used += (size_t)wrote;
}

// at_ms and now_ms on the monotonic clock; full: date, time and zone. In
// milliseconds, so that a time shown twice is shown the same.
static void WallClock(long long at_ms, long long now_ms, int full, char *out, size_t size)
{
    struct timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    long long wall_ms = (long long)real.tv_sec * 1000 + real.tv_nsec / 1000000 - (now_ms - at_ms);
    time_t wall = (time_t)(wall_ms / 1000);
    struct tm local;
    localtime_r(&wall, &local);
    if (strftime(out, size, full ? "%Y-%m-%dT%H:%M:%S%z" : "%H:%M:%S", &local) == 0) {
        snprintf(out, size, "?");
    }
}

// A rate of 0 on an open line is start_comm's 9600.
static long ShownRate(const LineView *line)
{
    return line->rate != 0 ? line->rate : 9600;
}

static void LineSummary(struct Text *text, const LineView *line, const DispatchView *dispatch,
                        long long now)
{
    char since[32];
    WallClock(line->state == LINE_DOWN ? line->since_ms : dispatch->silent_since_ms, now, 0, since,
              sizeof since);
    if (line->state == LINE_DOWN) {
        Add(text, "linea caida desde las %s", since);
    } else if (line->state == LINE_OPENING) {
        Add(text, line->searching ? "buscando la velocidad del controlador" : "abriendo la linea");
    } else if (line->no_controller) {
        Add(text, "linea abierta; el controlador no respondio a ninguna velocidad");
    } else if (dispatch->silent_since_ms != 0) {
        Add(text, "linea abierta a %ld baudios; el controlador no responde desde las %s",
            ShownRate(line), since);
    } else {
        Add(text, "linea abierta a %ld baudios", ShownRate(line));
    }
}

size_t StatusSummary(char *out, size_t size, long long now)
{
    struct Text text = {out, size, 0, 0};
    LineView line;
    DispatchView dispatch;
    LineDescribe(&line);
    DispatchDescribe(&dispatch);
    out[0] = '\0';
    LineSummary(&text, &line, &dispatch, now);
    Add(&text, "; %d clientes, %d en cola, %lld servidos, %lld con error, %d en duda",
        ClientsConnected(), dispatch.queued, dispatch.answered + dispatch.from_memory,
        dispatch.errors, dispatch.in_doubt);
    return text.used;
}

static const char *LineWord(const LineView *line)
{
    switch (line->state) {
    case LINE_DOWN:
        return "caida";
    case LINE_OPENING:
        return line->searching ? "buscando" : "abriendo";
    default:
        return "abierta";
    }
}

static void ReportLine(struct Text *text, const LineView *line, const DispatchView *dispatch,
                       long long now)
{
    char since[40];
    WallClock(line->since_ms, now, 1, since, sizeof since);
    Add(text, "version %s\ndispositivo /dev/%s\nlinea %s\nlinea_desde %s\nvelocidad %ld\n",
        KIT_VERSION, line->port_name, LineWord(line), since,
        line->state == LINE_DOWN || line->state == LINE_OPENING ? line->rate : ShownRate(line));
    if (line->no_controller) {
        Add(text, "controlador no_encontrado\n");
    } else if (dispatch->silent_since_ms != 0) {
        WallClock(dispatch->silent_since_ms, now, 1, since, sizeof since);
        Add(text, "controlador no_responde\ncontrolador_desde %s\n", since);
    } else {
        Add(text, "controlador %s\n", dispatch->status_known ? "responde" : "sin_datos");
    }
    if (dispatch->status_known) {
        Add(text, "palabras_estado %04X %04X\n", dispatch->status1, dispatch->status2);
    }
}

static void ReportClients(struct Text *text, long long now)
{
    ClientView client;
    int cursor = 0;
    Add(text, "clientes %d\n", ClientsConnected());
    while (ClientsAt(&cursor, &client)) {
        char dotted[INET_ADDRSTRLEN];
        char since[40];
        AccessDotted(client.peer, dotted, sizeof dotted);
        WallClock(client.connected_ms, now, 1, since, sizeof since);
        Add(text, "cliente %lld %s:%u desde %s comandos %ld %s\n", client.id, dotted,
            client.peer_port, since, client.commands, client.waiting ? "esperando" : "inactivo");
    }
}

// key, client, address, new or resend, the command in printable form.
static void ReportCommand(struct Text *text, const char *key, const CommandView *command,
                          size_t shown_limit)
{
    char dotted[INET_ADDRSTRLEN];
    char shown[CLIENT_REPLY_MAX + 1];
    size_t length = (size_t)command->length < shown_limit ? (size_t)command->length : shown_limit;
    AccessDotted(command->peer, dotted, sizeof dotted);
    PrintableCopy(command->body, length, shown, sizeof shown);
    Add(text, "%s %lld %s %s %s%s\n", key, command->client_id, dotted,
        command->resend ? "reenvio" : "nuevo", shown,
        length < (size_t)command->length ? "..." : "");
}

static void ReportQueue(struct Text *text, const DispatchView *dispatch)
{
    CommandView command;
    Add(text, "en_cola %d\n", dispatch->queued);
    if (dispatch->on_line) {
        ReportCommand(text, "en_curso", &dispatch->running, QUEUED_SHOWN);
    }
    for (int i = 0; DispatchQueuedAt(i, &command); i++) {
        ReportCommand(text, "cola", &command, QUEUED_SHOWN);
    }
}

static void ReportFigures(struct Text *text, const DispatchView *dispatch)
{
    ErrorCount count;
    Add(text, "servidos %lld\nde_memoria %lld\ncon_error %lld\n", dispatch->answered,
        dispatch->from_memory, dispatch->errors);
    for (int i = 0; DispatchErrorAt(i, &count); i++) {
        if (count.count != 0) {
            Add(text, "error %lld %s|%s\n", count.count, count.reason, count.outcome);
        }
    }
}

static const char *DoubtWord(const CommandView *kept)
{
    if (kept->kind == KEPT_REPLY) {
        return "ejecutado";
    }
    return kept->settleable ? "verificable" : "no_verificable";
}

static void ReportDoubts(struct Text *text, const DispatchView *dispatch, long long now)
{
    CommandView kept;
    int cursor = 0;
    Add(text, "en_duda %d\n", dispatch->in_doubt);
    while (DispatchKeptAt(&cursor, &kept)) {
        char dotted[INET_ADDRSTRLEN];
        char since[40];
        char shown[CLIENT_REPLY_MAX + 1];
        AccessDotted(kept.peer, dotted, sizeof dotted);
        WallClock(kept.since_ms, now, 1, since, sizeof since);
        PrintableCopy(kept.body, (size_t)kept.length, shown, sizeof shown);
        Add(text, "duda %lld %s cliente %lld desde %s %s %s\n", kept.id, dotted, kept.client_id,
            since, DoubtWord(&kept), shown);
    }
}

size_t StatusReport(char *out, size_t size, long long now)
{
    // Room kept for the mark of a report cut short.
    static const char CUT[] = "cortado\n";
    struct Text text = {out, size > sizeof CUT ? size - sizeof CUT : 0, 0, 0};
    LineView line;
    DispatchView dispatch;
    out[0] = '\0';
    LineDescribe(&line);
    DispatchDescribe(&dispatch);
    ReportLine(&text, &line, &dispatch, now);
    ReportClients(&text, now);
    ReportQueue(&text, &dispatch);
    ReportFigures(&text, &dispatch);
    ReportDoubts(&text, &dispatch, now);
    if (text.cut && size > sizeof CUT) {
        memcpy(out + text.used, CUT, sizeof CUT);
        text.used += sizeof CUT - 1;
    }
    return text.used;
}
