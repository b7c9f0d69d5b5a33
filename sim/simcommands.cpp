// A receipt at a time: open, item lines, subtotal, close. Amounts are kept in
// cents so that sums never pick up rounding.
#include "simcommands.h"
#include "fiscalframe.h"
#include "wholenumber.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#define SIM_PARAMS_MAX     4
#define SIM_PARAM_SIZE     64
#define SIM_LINE_TEST_MAX  SIM_FIELDS_MAX
#define SIM_BUSY_PARAM_MAX 600000

static int ReceiptOpen;
static long ReceiptNumber;   // last receipt opened
static long ItemCount;
static long SubtotalCents;

// The fields after a command's code, as SplitParams found them.
struct SimParams {
    int count;
    char text[SIM_PARAMS_MAX][SIM_PARAM_SIZE];
};

// Declared ahead only to carry the format check, which g++ and clang offer.
#if defined(__GNUC__)
static void Fields(SimReply *reply, const char *format, ...) __attribute__((format(printf, 2, 3)));
#endif

void SimCommandsReset(void)
{
    ReceiptOpen = 0;
    ReceiptNumber = 0;
    ItemCount = 0;
    SubtotalCents = 0;
}

// Fields after the command code, each introduced by FS. Returns -1 when there
// are too many or one is too long, which the command reports as a bad field.
static int SplitParams(const char *body, int len, struct SimParams *params)
{
    params->count = 0;
    int pos = 1;
    while (pos < len) {
        if ((unsigned char)body[pos] != FRAME_FS || params->count == SIM_PARAMS_MAX) {
            return -1;
        }
        pos++;
        int start = pos;
        while (pos < len && (unsigned char)body[pos] != FRAME_FS) {
            pos++;
        }
        if (pos - start >= SIM_PARAM_SIZE) {
            return -1;
        }
        memcpy(params->text[params->count], body + start, (size_t)(pos - start));
        params->text[params->count][pos - start] = '\0';
        params->count++;
    }
    return 0;
}

// "12", "12.5" or "12.50" as cents; at most 2 decimals, at most 9999999.99.
static long ParseCents(const char *text)
{
    char whole[16];
    const char *dot = strchr(text, '.');
    size_t whole_len = dot != nullptr ? (size_t)(dot - text) : strlen(text);
    if (whole_len == 0 || whole_len >= 8) {
        return -1;
    }
    memcpy(whole, text, whole_len);
    whole[whole_len] = '\0';
    long units = ParseWholeNumber(whole, 0, 9999999);
    if (units < 0) {
        return -1;
    }
    long cents = 0;
    if (dot != nullptr) {
        size_t decimals = strlen(dot + 1);
        if (decimals < 1 || decimals > 2) {
            return -1;
        }
        cents = ParseWholeNumber(dot + 1, 0, 99);
        if (cents < 0) {
            return -1;
        }
        if (decimals == 1) {
            cents *= 10;
        }
    }
    return units * 100 + cents;
}

static void Fields(SimReply *reply, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(reply->fields, sizeof reply->fields, format, args);
    va_end(args);
}

static void Fail(SimReply *reply, unsigned short bit)
{
    reply->status2 |= bit;
}

static void StatusQuery(SimReply *reply)
{
    Fields(reply, "%d%c%08ld%c%ld", ReceiptOpen, FRAME_FS, ReceiptNumber, FRAME_FS, ItemCount);
}

static void OpenReceipt(const struct SimParams *params, SimReply *reply)
{
    if (params->count != 0) {
        return Fail(reply, SIM_FIS_BAD_FIELD);
    }
    if (ReceiptOpen) {
        return Fail(reply, SIM_FIS_BAD_STATE);
    }
    ReceiptOpen = 1;
    ReceiptNumber++;
    ItemCount = 0;
    SubtotalCents = 0;
    Fields(reply, "%08ld", ReceiptNumber);
}

static void ItemLine(const struct SimParams *params, SimReply *reply)
{
    if (!ReceiptOpen) {
        return Fail(reply, SIM_FIS_BAD_STATE);
    }
    if (params->count != 3 || params->text[0][0] == '\0') {
        return Fail(reply, SIM_FIS_BAD_FIELD);
    }
    long quantity = ParseWholeNumber(params->text[1], 0, 9999);
    long price = ParseCents(params->text[2]);
    if (quantity < 1 || price < 0) {
        return Fail(reply, SIM_FIS_BAD_FIELD);
    }
    long amount = quantity * price;
    ItemCount++;
    SubtotalCents += amount;
    Fields(reply, "%s%c%ld.%02ld%c%ld.%02ld", params->text[0], FRAME_FS, amount / 100, amount % 100,
           FRAME_FS, SubtotalCents / 100, SubtotalCents % 100);
}

static void Subtotal(SimReply *reply)
{
    if (!ReceiptOpen) {
        return Fail(reply, SIM_FIS_BAD_STATE);
    }
    Fields(reply, "%ld%c%ld.%02ld", ItemCount, FRAME_FS, SubtotalCents / 100, SubtotalCents % 100);
}

static void CloseReceipt(SimReply *reply)
{
    if (!ReceiptOpen) {
        return Fail(reply, SIM_FIS_BAD_STATE);
    }
    ReceiptOpen = 0;
    Fields(reply, "%08ld%c%ld%c%ld.%02ld", ReceiptNumber, FRAME_FS, ItemCount, FRAME_FS,
           SubtotalCents / 100, SubtotalCents % 100);
}

static void SlowCommand(const struct SimParams *params, SimReply *reply, int busy_ms, int kind)
{
    long work = busy_ms;
    if (params->count > 1) {
        return Fail(reply, SIM_FIS_BAD_FIELD);
    }
    if (params->count == 1) {
        work = ParseWholeNumber(params->text[0], 0, SIM_BUSY_PARAM_MAX);
        if (work < 0) {
            return Fail(reply, SIM_FIS_BAD_FIELD);
        }
    }
    reply->busy_ms = (int)work;
    reply->busy_kind = kind;
    if (kind == FRAME_DC4) {
        reply->status1 |= SIM_PRN_PAPER_WAITED;
    }
    Fields(reply, "%ld", work);
}

static void LineTest(const struct SimParams *params, SimReply *reply)
{
    long length = params->count == 1 ? ParseWholeNumber(params->text[0], 0, SIM_LINE_TEST_MAX) : -1;
    if (length < 0) {
        return Fail(reply, SIM_FIS_BAD_FIELD);
    }
    for (long i = 0; i < length; i++) {
        reply->fields[i] = (char)('0' + i % 10);
    }
    reply->fields[length] = '\0';
}

void SimExecute(const char *body, int len, int busy_ms, SimReply *reply)
{
    struct SimParams params;
    memset(reply, 0, sizeof *reply);
    if (len < 1 || SplitParams(body, len, &params) != 0) {
        Fail(reply, len < 1 ? SIM_FIS_UNKNOWN : SIM_FIS_BAD_FIELD);
    } else {
        switch (body[0]) {
        case '*':
            StatusQuery(reply);
            break;
        case 'A':
            OpenReceipt(&params, reply);
            break;
        case 'B':
            ItemLine(&params, reply);
            break;
        case 'C':
            Subtotal(reply);
            break;
        case 'E':
            CloseReceipt(reply);
            break;
        case 'S':
            SlowCommand(&params, reply, busy_ms, FRAME_DC2);
            break;
        case 'P':
            SlowCommand(&params, reply, busy_ms, FRAME_DC4);
            break;
        case 'L':
            LineTest(&params, reply);
            break;
        default:
            Fail(reply, SIM_FIS_UNKNOWN);
            break;
        }
    }
    if (ReceiptOpen) {
        reply->status2 |= SIM_FIS_RECEIPT_OPEN;
    }
    if (reply->status2 & 0x00FF) {
        reply->status2 |= SIM_FIS_ANY_ERROR;
    }
    if (reply->status1 & 0x7FFF) {
        reply->status1 |= SIM_PRN_ANY;
    }
}
