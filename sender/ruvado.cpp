// ruvado: sends the lines of a command file to the command server.
#include "exchange.h"

int main(int argc, char *argv[])
{
    return RuvadoMain(argc, argv);
}
