// The state file: the line's memory, so that a restarted server continues
// the sequence and keeps the commands still in doubt.
//
// The file holds two slots, each a text record behind a header with its
// generation, length and CRC-32. A write goes to the slot that does not hold
// the last record made durable, so a write cut short (a crash, a power cut)
// can only spoil the slot being written: the reader takes the sound record
// with the highest generation, and the one the disk surely has is always
// still there. A durable write is followed by fdatasync before the frame it
// describes leaves; the file keeps its size, so that is one flush of data.
// The file is written in place, never through a temporary name, and only
// ever as a regular file opened without following links.
//
// The older form, one line "rate N", is still read (as a rate alone).
#include "fiscald_state.h"
#include "fiscald_access.h"
#include "ttywire.h"
#include "wholenumber.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char MAGIC[] = "fiscald-state 1";
static const char OLD_RATE_PREFIX[] = "rate ";
// A full record: every kept command with its body and reply in hexadecimal.
static const int SLOT_SIZE = 512 * 1024;
static const int HEADER_SIZE = 64;

static int StateFd = -1;
static int DurableSlot = 1;   // the slot the disk surely has: writes go to the other
static unsigned long long NextGeneration = 1;
static char Slot[512 * 1024];

// CRC-32 (IEEE), bit by bit: a record is a few hundred bytes, and the
// checksum is all the state file needs of a compression library.
static unsigned int Crc32Add(unsigned int crc, const char *bytes, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        crc ^= (unsigned char)bytes[i];
        for (int bit = 0; bit < 8; bit++) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return crc;
}

// The checksum of a record covers its generation and length as well as its
// payload: a damaged generation must not make an old record look newest.
static unsigned int RecordCrc(unsigned long long generation, const char *payload, size_t length)
{
    char fields[48];
    int written = snprintf(fields, sizeof fields, "%llu %zu", generation, length);
    unsigned int crc = Crc32Add(0xFFFFFFFFu, fields, (size_t)written);
    return ~Crc32Add(crc, payload, length);
}

// Appends bytes as hexadecimal digits ("-" for none); 0, or -1 when full.
static int PutHex(char *out, size_t size, size_t *used, const char *bytes, int length)
{
    static const char DIGITS[] = "0123456789abcdef";
    if (*used + 2 * (size_t)length + 2 > size) {
        return -1;
    }
    if (length == 0) {
        out[(*used)++] = '-';
    }
    for (int i = 0; i < length; i++) {
        out[(*used)++] = DIGITS[(unsigned char)bytes[i] >> 4];
        out[(*used)++] = DIGITS[(unsigned char)bytes[i] & 0x0F];
    }
    return 0;
}

// Reads hexadecimal digits up to the next blank or line end: the byte count,
// or -1 for bad digits or more than room.
static int TakeHex(const char **text, char *out, int room)
{
    const char *at = *text;
    int length = 0;
    if (*at == '-') {
        *text = at + 1;
        return 0;
    }
    while (isxdigit((unsigned char)at[0]) && isxdigit((unsigned char)at[1])) {
        if (length == room) {
            return -1;
        }
        char pair[3] = {at[0], at[1], '\0'};
        out[length++] = (char)strtoul(pair, nullptr, 16);
        at += 2;
    }
    *text = at;
    return length;
}

// The payload of a record: "rate N", "seq N", then one "kept" line each.
static int Format(const StateRecord *record, char *out, size_t size)
{
    size_t used = 0;
    int written = snprintf(out, size, "rate %ld\nseq %d\n", record->rate, record->last_seq);
    if (written < 0 || (size_t)written >= size) {
        return -1;
    }
    used = (size_t)written;
    for (int i = 0; i < record->count; i++) {
        const StateKept *kept = &record->kept[i];
        char dotted[INET_ADDRSTRLEN];
        AccessDotted(kept->peer, dotted, sizeof dotted);
        written = snprintf(out + used, size - used, "kept %s %d %s %d %lld ",
                           kept->kind == KEPT_REPLY ? "reply" : "unknown", kept->settleable, dotted,
                           kept->seq, kept->age_s);
        if (written < 0 || (size_t)written >= size - used) {
            return -1;
        }
        used += (size_t)written;
        if (PutHex(out, size, &used, kept->body, kept->length) != 0) {
            return -1;
        }
        out[used++] = ' ';
        if (PutHex(out, size, &used, kept->reply,
                   kept->kind == KEPT_REPLY ? kept->reply_length : 0) != 0) {
            return -1;
        }
        out[used++] = '\n';
    }
    return (int)used;
}

// One "kept" line after its tag: 0, or -1 when anything is out of place.
static int ParseKept(const char *text, StateKept *kept)
{
    char kind[16];
    char dotted[INET_ADDRSTRLEN];
    int consumed = 0;
    struct in_addr address;
    memset(kept, 0, sizeof *kept);
    if (sscanf(text, "%15s %d %15s %d %lld %n", kind, &kept->settleable, dotted, &kept->seq,
               &kept->age_s, &consumed) != 5 ||
        inet_pton(AF_INET, dotted, &address) != 1 || kept->age_s < 0 || kept->seq < 0x20 ||
        kept->seq > 0x7E || (kept->settleable != 0 && kept->settleable != 1)) {
        return -1;
    }
    kept->kind = strcmp(kind, "reply") == 0 ? KEPT_REPLY : KEPT_UNKNOWN;
    kept->peer = ntohl(address.s_addr);
    text += consumed;
    kept->length = TakeHex(&text, kept->body, PACKET_MAX_COMMAND);
    if (kept->length <= 0 || *text != ' ') {
        return -1;
    }
    text++;
    kept->reply_length = TakeHex(&text, kept->reply, CLIENT_REPLY_MAX);
    if (kept->reply_length < 0 || (*text != '\n' && *text != '\0') ||
        (kept->kind == KEPT_REPLY && kept->reply_length == 0)) {
        return -1;
    }
    return 0;
}

static int ParsePayload(const char *text, StateRecord *record)
{
    memset(record, 0, sizeof *record);
    if (sscanf(text, "rate %ld\nseq %d\n", &record->rate, &record->last_seq) != 2) {
        return -1;
    }
    if (record->rate != 0 && !BaudRateKnown(record->rate)) {
        return -1;
    }
    if (record->last_seq != 0 && (record->last_seq < 0x20 || record->last_seq > 0x7E)) {
        return -1;
    }
    for (const char *line = strchr(text, '\n'); line != nullptr; line = strchr(line, '\n')) {
        line++;
        if (strncmp(line, "kept ", 5) != 0) {
            continue;
        }
        if (record->count == FISCALD_MAX_KEPT + 1 ||
            ParseKept(line + 5, &record->kept[record->count]) != 0) {
            return -1;
        }
        record->count++;
    }
    record->sound = 1;
    return 0;
}

// The header line of a record, blank-padded to HEADER_SIZE bytes.
static void FormatHeader(char *out, unsigned long long generation, int length, unsigned int crc)
{
    char line[HEADER_SIZE + 1];
    int written = snprintf(line, sizeof line, "%s %llu %d %08x", MAGIC, generation, length, crc);
    memset(out, ' ', HEADER_SIZE);
    memcpy(out, line, written > 0 && written < HEADER_SIZE ? (size_t)written : 0);
    out[HEADER_SIZE - 1] = '\n';
}

// One slot's record: its generation, or 0 when it is not sound.
static unsigned long long ReadSlot(int slot, StateRecord *record)
{
    unsigned long long generation = 0;
    unsigned int length = 0;
    unsigned int crc = 0;
    int consumed = 0;
    ssize_t got = pread(StateFd, Slot, sizeof Slot - 1, (off_t)slot * SLOT_SIZE);
    if (got <= 0) {
        return 0;
    }
    Slot[got] = '\0';
    if (strncmp(Slot, MAGIC, sizeof MAGIC - 1) != 0 ||
        sscanf(Slot + sizeof MAGIC - 1, " %llu %u %x\n%n", &generation, &length, &crc, &consumed) !=
            3 ||
        consumed == 0 || (long long)sizeof MAGIC - 1 + consumed > HEADER_SIZE ||
        length > (unsigned int)(got - HEADER_SIZE)) {
        return 0;
    }
    const char *payload = Slot + HEADER_SIZE;
    char header[HEADER_SIZE];
    FormatHeader(header, generation, (int)length, crc);
    // The header is checked byte for byte: the checksum covers the payload.
    if (memcmp(header, Slot, HEADER_SIZE) != 0 || RecordCrc(generation, payload, length) != crc) {
        return 0;
    }
    Slot[HEADER_SIZE + length] = '\0';
    return ParsePayload(payload, record) == 0 ? generation : 0;
}

static void ReadRecord(const char *path, StateRecord *record)
{
    static StateRecord other;   // too big for the stack
    unsigned long long first = ReadSlot(0, record);
    unsigned long long second = ReadSlot(1, &other);
    if (second > first) {
        *record = other;
    }
    if (first != 0 || second != 0) {
        DurableSlot = second > first ? 1 : 0;
        NextGeneration = (second > first ? second : first) + 1;
        return;
    }
    memset(record, 0, sizeof *record);
    ssize_t got = pread(StateFd, Slot, 64, 0);
    if (got <= 0) {
        return;   // a new file
    }
    Slot[got] = '\0';
    if (strncmp(Slot, OLD_RATE_PREFIX, sizeof OLD_RATE_PREFIX - 1) == 0) {
        Slot[strcspn(Slot, "\n")] = '\0';
        long rate = ParseWholeNumber(Slot + sizeof OLD_RATE_PREFIX - 1, 1, 38400);
        record->rate = BaudRateKnown(rate) ? rate : 0;
        return;
    }
    fprintf(stderr, "fiscald: %s no tiene un registro sano: se empieza sin el\n", path);
}

int StateOpen(const char *path, StateRecord *record, char *reason, size_t size)
{
    struct stat status;
    memset(record, 0, sizeof *record);
    if (path == nullptr) {
        return 0;
    }
    // O_NONBLOCK: a FIFO planted at the path must not hold the start.
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        snprintf(reason, size, "no se puede abrir el archivo de estado %s: %s", path,
                 errno == ELOOP ? "es un enlace simbolico" : strerror(errno));
        return -1;
    }
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        snprintf(reason, size, "el archivo de estado %s no es un archivo regular", path);
        close(fd);
        return -1;
    }
    StateFd = fd;
    DurableSlot = 1;
    NextGeneration = 1;
    ReadRecord(path, record);
    return 0;
}

int StateSave(const StateRecord *record, int durable)
{
    if (StateFd < 0) {
        return 0;
    }
    int length = Format(record, Slot + HEADER_SIZE, sizeof Slot - HEADER_SIZE);
    if (length < 0) {
        errno = EOVERFLOW;
        return -1;
    }
    FormatHeader(Slot, NextGeneration, length,
                 RecordCrc(NextGeneration, Slot + HEADER_SIZE, (size_t)length));
    int slot = 1 - DurableSlot;
    size_t total = (size_t)HEADER_SIZE + (size_t)length;
    if (pwrite(StateFd, Slot, total, (off_t)slot * SLOT_SIZE) != (ssize_t)total) {
        return -1;
    }
    NextGeneration++;
    if (durable) {
        if (fdatasync(StateFd) != 0) {
            return -1;
        }
        DurableSlot = slot;
    }
    return 0;
}

void StateClose(void)
{
    if (StateFd >= 0) {
        close(StateFd);
    }
    StateFd = -1;
}
