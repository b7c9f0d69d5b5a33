// A small stand-in for the command server, for trying ruvado by hand:
//   testserver [--port-file FILE] [--reply TEXT]...
// Listens on 127.0.0.1 at an ephemeral port, prints the port (and writes it
// to FILE), takes one connection and answers each command it receives: with
// the next --reply TEXT given (a "DC2" before each, as an interim reply),
// or, once those are used up, with the command's own bytes. Ends when the
// client closes or after a minute.
#include "scriptserver.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

int main(int argc, char **argv)
{
    scriptserver::Script script;
    std::string port_file;
    for (int index = 1; index < argc; index++) {
        if (std::strcmp(argv[index], "--port-file") == 0 && index + 1 < argc) {
            port_file = argv[++index];
        } else if (std::strcmp(argv[index], "--reply") == 0 && index + 1 < argc) {
            script.per_receive.push_back(
                {scriptserver::Reply("DC2"), scriptserver::Reply(argv[++index], 100)});
        } else {
            std::cerr << "usage: testserver [--port-file FILE] [--reply TEXT]...\n";
            return 2;
        }
    }
    script.otherwise = {scriptserver::Echo()};

    scriptserver::Server server(script);
    std::cout << server.Port() << std::endl;
    if (!port_file.empty()) {
        std::ofstream(port_file + ".tmp") << server.Port() << "\n";
        std::rename((port_file + ".tmp").c_str(), port_file.c_str());
    }
    server.Finish();
    for (const std::string &received : server.Receives()) {
        std::cerr << "testserver: received " << received.size() << " bytes\n";
    }
    return 0;
}
