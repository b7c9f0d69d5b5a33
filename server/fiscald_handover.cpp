// The handover: a file in memory that each module writes its part into, in
// one fixed order, read back in the same order by the program exec'd next.
// Every part is tagged and sized, and the file starts with the layout of
// the tables it carries: a program whose tables differ refuses it and
// starts afresh from the state file instead of taking what it cannot read.
#include "fiscald_handover.h"
#include "fiscald_clients.h"
#include "fiscald_dispatch.h"
#include "fiscald_line.h"
#include "kitversion.h"
#include "tracelet.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

// What both programs must agree on: the sizes of the tables handed over.
static void Layout(char *out, size_t size)
{
    snprintf(out, size, "fiscald handover 1 clients %zu dispatch %zu line %zu",
             ClientsHandoverSize(), DispatchHandoverSize(), LineHandoverSize());
}

int HandoverExec(char **argv)
{
    char layout[128];
    int result = -1;
    int fd = memfd_create("fiscald-handover", 0);
    if (fd < 0) {
        Tracelet("fiscald: no se puede preparar el relevo: %s", strerror(errno));
        return -1;
    }
    Layout(layout, sizeof layout);
    LineHandOver();   // the worker ends here: the new program starts its own
    if (HandoverPut(fd, HANDOVER_LAYOUT, layout, sizeof layout) == 0 && ClientsHandOver(fd) == 0 &&
        DispatchHandOver(fd) == 0 && LineHandOverState(fd) == 0 && lseek(fd, 0, SEEK_SET) == 0) {
        char number[16];
        snprintf(number, sizeof number, "%d", fd);
        setenv(FISCALD_HANDOVER_VARIABLE, number, 1);
        // The installed program, by the path it was started from; a bare
        // name from the search path is found again through the running one.
        const char *program = strchr(argv[0], '/') != nullptr ? argv[0] : "/proc/self/exe";
        Tracelet("fiscald: el servicio pasa a %s", program);
        fflush(nullptr);
        execv(program, argv);
        Tracelet("fiscald: no se pudo ejecutar %s: %s; sigue este programa", program,
                 strerror(errno));
        unsetenv(FISCALD_HANDOVER_VARIABLE);
    }
    ClientsHandOverUndo();
    close(fd);
    LineHandOverUndo();
    return result;
}

int HandoverTake(void)
{
    char expected[128];
    char layout[128];
    const char *named = getenv(FISCALD_HANDOVER_VARIABLE);
    if (named == nullptr) {
        return 0;
    }
    int fd = atoi(named);
    unsetenv(FISCALD_HANDOVER_VARIABLE);
    Layout(expected, sizeof expected);
    if (HandoverGet(fd, HANDOVER_LAYOUT, layout, sizeof layout) != 0 ||
        strncmp(layout, expected, sizeof layout) != 0) {
        fprintf(stderr, "fiscald: el relevo no se puede leer (%s); se empieza de nuevo\n",
                layout[0] != '\0' ? "otro formato" : "incompleto");
        close(fd);
        return -1;
    }
    int taken = ClientsTakeOver(fd) == 0 && DispatchTakeOver(fd) == 0 && LineTakeOver(fd) == 0;
    close(fd);
    if (!taken) {
        fprintf(stderr, "fiscald: el relevo llego incompleto; se empieza de nuevo\n");
        return -1;
    }
    Tracelet("fiscald: servicio recibido del programa anterior (%s)", KIT_VERSION);
    return 1;
}
