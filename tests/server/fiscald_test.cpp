// The command server as a program: a simulated controller on a pty (on a
// thread of this process), fiscald as a child process on an ephemeral port,
// and a plain TCP client speaking to it the way ruvado does.
#include "fiscald_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace fiscaldtest;

const char Usage[] =
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

TEST_F(Fiscald, ReceiptCommandsAnswerWithStatusWordsAndFields)
{
    StartSim(9600, 0);
    StartServer({});
    int client = NewClient();
    ASSERT_GE(client, 0);
    EXPECT_EQ(Final(client, "*"), "0000" + FS + "0000" + FS + "0" + FS + "00000000" + FS + "0");
    EXPECT_EQ(Final(client, "A"), "0000" + FS + "0100" + FS + "00000001");
    EXPECT_EQ(Final(client, "B" + FS + "Cafe" + FS + "2" + FS + "1.50"),
              "0000" + FS + "0100" + FS + "Cafe" + FS + "3.00" + FS + "3.00");
    EXPECT_EQ(Final(client, "C"), "0000" + FS + "0100" + FS + "1" + FS + "3.00");
    EXPECT_EQ(Final(client, "E"), "0000" + FS + "0000" + FS + "00000001" + FS + "1" + FS + "3.00");
    // A refused command is still an answer: no fields, the reason in the words.
    EXPECT_EQ(Final(client, "E"), "0000" + FS + "8004");
    EXPECT_EQ(Final(client, "Z"), "0000" + FS + "8001");
}

TEST_F(Fiscald, SlowCommandDrawsDC2RepliesThenTheFinalInAReceiveOfItsOwn)
{
    StartSim(9600, 0);
    StartServer({"-i", "150"});
    int client = NewClient();
    ASSERT_GE(client, 0);
    std::vector<std::string> receives = Exchange(client, "S" + FS + "900");
    ASSERT_GE(receives.size(), 3u);
    for (size_t i = 0; i + 1 < receives.size(); i++) {
        // Interims may run together; never with anything else.
        ASSERT_FALSE(receives[i].empty());
        ASSERT_EQ(receives[i].size() % 3, 0u) << receives[i];
        for (size_t at = 0; at < receives[i].size(); at += 3) {
            EXPECT_EQ(receives[i].substr(at, 3), "DC2");
        }
    }
    EXPECT_EQ(receives.back(), "0000" + FS + "0000" + FS + "900");
    // The next command gets its own reply, nothing left over from the last.
    EXPECT_EQ(Exchange(client, "C"), std::vector<std::string>{"0000" + FS + "8004"});
}

TEST_F(Fiscald, PaperWaitDrawsDC4AndQuickCommandsDrawNoInterim)
{
    StartSim(9600, 0);
    StartServer({"-i", "200"});
    int client = NewClient();
    ASSERT_GE(client, 0);
    std::vector<std::string> receives = Exchange(client, "P" + FS + "700");
    ASSERT_GE(receives.size(), 2u);
    // The first interim may go before the controller's first keep-alive.
    EXPECT_EQ(receives[receives.size() - 2], "DC4");
    EXPECT_EQ(receives.back(), "8008" + FS + "0000" + FS + "700");
    // Busy for less than the interval: the client sees the final reply only.
    EXPECT_EQ(Exchange(client, "S" + FS + "100"),
              std::vector<std::string>{"0000" + FS + "0000" + FS + "100"});
}

TEST_F(Fiscald, SilentControllerGetsAnErrorReplyNotSilence)
{
    StartSim(19200, 0);   // the server stays at start_comm's 9600
    StartServer({"-w", "300"});
    int client = NewClient();
    ASSERT_GE(client, 0);
    EXPECT_EQ(Exchange(client, "*"),
              std::vector<std::string>{"ERR" + FS + "SIN RESPUESTA" + FS + "DESCONOCIDO"});
    // Told the right rate, the same controller answers.
    fiscalsim_set_rate(9600);
    EXPECT_EQ(Final(client, "A"), "0000" + FS + "0100" + FS + "00000001");
}

TEST_F(Fiscald, RateOptionSetsTheLineAndSearchFindsTheControllerAt38400)
{
    StartSim(38400, 0);
    StartServer({"-b", "38400"});
    int client = NewClient();
    ASSERT_GE(client, 0);
    EXPECT_EQ(Final(client, "A"), "0000" + FS + "0100" + FS + "00000001");
    close(client);
    clients_.clear();
    ASSERT_EQ(StopServer(SIGTERM), 0);

    StartServer({"-s", "-w", "300", "-v"});
    client = NewClient();
    ASSERT_GE(client, 0);
    EXPECT_EQ(Final(client, "C"), "0000" + FS + "0100" + FS + "0" + FS + "0.00");
}

TEST_F(Fiscald, FailedSearchIsRetriedOnTheNextCommand)
{
    StartSim(57600, 0);   // outside the table: the search cannot find it
    StartServer({"-s", "-w", "300"});
    int client = NewClient();
    ASSERT_GE(client, 0);
    // Nothing was sent: the search found no controller to send it to.
    EXPECT_EQ(Final(client, "*"), "ERR" + FS + "SIN RESPUESTA" + FS + "NO ENVIADO");
    fiscalsim_set_rate(2400);
    EXPECT_EQ(Final(client, "A"), "0000" + FS + "0100" + FS + "00000001");
}

TEST_F(Fiscald, ClientLeavingMidCommandDoesNotStopTheNextOne)
{
    StartSim(9600, 0);
    StartServer({"-i", "100"});
    long before = fiscalsim_commands_executed();   // a fresh server's probe
    int first = NewClient();
    ASSERT_GE(first, 0);
    ASSERT_EQ(send(first,
                   "S\x1c"
                   "600",
                   5, MSG_NOSIGNAL),
              5);
    ASSERT_EQ(ReceiveOnce(first), "DC2");
    // The next client's command waits its turn, with interim replies, while
    // the first one is still being served.
    int second = NewClient();
    ASSERT_GE(second, 0);
    ASSERT_EQ(send(second, "A", 1, MSG_NOSIGNAL), 1);
    close(first);
    clients_.erase(clients_.begin());
    std::string reply = ReceiveOnce(second);
    while (IsInterim(reply)) {
        reply = ReceiveOnce(second);
    }
    EXPECT_EQ(reply, "0000" + FS + "0100" + FS + "00000001");
    // The abandoned command still ran to its end on the controller.
    EXPECT_EQ(fiscalsim_commands_executed(), before + 2);
}

TEST_F(Fiscald, VanishedLineGivesErrorsAndIsServedAgainWhenItComesBack)
{
    std::string link = TempDir() + "/link";
    StartSim(9600, 0, link.c_str());
    StartServer({"-w", "300"}, link);
    int client = NewClient();
    ASSERT_GE(client, 0);
    EXPECT_EQ(Final(client, "A"), "0000" + FS + "0100" + FS + "00000001");

    ASSERT_EQ(fiscalsim_vanish(), 0);
    EXPECT_EQ(Final(client, "*"), "ERR" + FS + "LINEA CAIDA" + FS + "NO ENVIADO");
    EXPECT_EQ(Final(client, "*"), "ERR" + FS + "LINEA CAIDA" + FS + "NO ENVIADO");

    ASSERT_EQ(fiscalsim_come_back(), 0);
    std::string reply = Final(client, "C");
    EXPECT_EQ(reply, "0000" + FS + "0100" + FS + "0" + FS + "0.00");
    // The same server process throughout.
    EXPECT_EQ(waitpid(server_.pid, nullptr, WNOHANG), 0);
}

TEST_F(Fiscald, VanishedLineIsReopenedWhileNoCommandComes)
{
    std::string dir = TempDir();
    std::string link = dir + "/link";
    std::string trace = dir + "/trace";
    StartSim(9600, 0, link.c_str());
    StartServer({"-f", trace}, link);
    int client = NewClient();
    ASSERT_GE(client, 0);
    ASSERT_EQ(Final(client, "A"), "0000" + FS + "0100" + FS + "00000001");
    ASSERT_EQ(fiscalsim_vanish(), 0);
    ASSERT_EQ(Final(client, "*"), "ERR" + FS + "LINEA CAIDA" + FS + "NO ENVIADO");
    ASSERT_EQ(fiscalsim_come_back(), 0);
    std::string log;
    for (int waited = 0; waited < 40 && log.find("linea abierta otra vez") == std::string::npos;
         waited++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ifstream file(trace);
        std::stringstream text;
        text << file.rdbuf();
        log = text.str();
    }
    EXPECT_NE(log.find("fiscald: linea caida en /dev/pts/"), std::string::npos) << log;
    EXPECT_NE(
        log.find("fiscald: linea abierta otra vez en /dev/" + std::string(fiscalsim_port_name())),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("fiscald: comando [A]"), std::string::npos) << log;
    EXPECT_NE(log.find("fiscald: respuesta [0000|0100|00000001]"), std::string::npos) << log;
}

// A line that vanishes and comes back while no command is on it is noticed
// by itself: the next command is served, not told the line is down.
TEST_F(Fiscald, ALineThatVanishesAndComesBackWhileIdleServesTheNextCommand)
{
    std::string dir = TempDir();
    std::string link = dir + "/link";
    StartSim(9600, 0, link.c_str());
    StartServer({"-f", dir + "/trace"}, link);
    int client = NewClient();
    ASSERT_EQ(Final(client, "A"), "0000" + FS + "0100" + FS + "00000001");
    auto traced = [&](const std::string &text) {
        for (int waited = 0; waited < 50; waited++) {
            if (childprocess::ReadFile(dir + "/trace").find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
    ASSERT_EQ(fiscalsim_vanish(), 0);
    EXPECT_TRUE(traced("(sin comando en curso)"));
    ASSERT_EQ(fiscalsim_come_back(), 0);
    EXPECT_TRUE(traced("linea abierta otra vez"));
    EXPECT_EQ(Final(client, "*"), "0000" + FS + "0100" + FS + "1" + FS + "00000001" + FS + "0");
}

TEST_F(Fiscald, GarbageAndNulBytesGetErrorRepliesAndTheServerGoesOn)
{
    StartSim(9600, 0);
    StartServer({});
    int client = NewClient();
    ASSERT_GE(client, 0);
    const std::string invalid = "ERR" + FS + "COMANDO INVALIDO" + FS + "NO ENVIADO";
    EXPECT_EQ(Final(client, std::string("\0\0\0", 3)), invalid);
    EXPECT_EQ(Final(client, std::string("*\0*", 3)), invalid);
    EXPECT_EQ(Final(client, std::string(500, '\xff')), invalid);
    EXPECT_EQ(Final(client, std::string(401, 'B')), invalid);
    EXPECT_EQ(Final(client, "\r\n"), invalid);
    // Control bytes travel escaped; the controller judges the command itself.
    EXPECT_EQ(Final(client, "\x02\x03\x12\x15\x1b junk"), "0000" + FS + "8002");
    EXPECT_EQ(Final(client, "\x12"), "0000" + FS + "8001");
    // A line ending typed at a terminal is not part of the command.
    EXPECT_EQ(Final(client, "A\r\n"), "0000" + FS + "0100" + FS + "00000001");
    close(client);
    clients_.clear();

    // A client that sends a blob and leaves without reading its reply.
    int rude = NewClient();
    ASSERT_GE(rude, 0);
    send(rude, std::string(500, 'x').data(), 500, MSG_NOSIGNAL);
    close(rude);
    clients_.clear();
    int polite = NewClient();
    ASSERT_GE(polite, 0);
    EXPECT_EQ(Final(polite, "C"), "0000" + FS + "0100" + FS + "0" + FS + "0.00");
}

TEST_F(Fiscald, IdleClientIsLetGoAndTheNextServed)
{
    StartSim(9600, 0);
    StartServer({"-t", "1"});
    int idle = NewClient();
    ASSERT_GE(idle, 0);
    int next = NewClient();
    ASSERT_GE(next, 0);
    ASSERT_EQ(send(next, "A", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(ReceiveOnce(idle, 5000), "");   // closed by the server, nothing sent
    EXPECT_EQ(ReceiveOnce(next, 5000), "0000" + FS + "0100" + FS + "00000001");
}

TEST_F(Fiscald, StaysServingWithFlatMemoryUnderCommandStormsReconnectsAndGarbage)
{
    StartSim(9600, 0);
    StartServerForMemory({});
    const std::string status = "0000" + FS + "0000" + FS + "0" + FS + "00000000" + FS + "0";

    // Commands the controller answers at once, on one connection.
    auto storm = [&](int count) {
        int client = ConnectLoopback(tcp_port_);
        ASSERT_GE(client, 0);
        int wrong = 0;
        for (int i = 0; i < count; i++) {
            wrong += Final(client, "*") != status;
        }
        EXPECT_EQ(wrong, 0);
        close(client);
    };
    // Clients that connect and leave at once; every fourth time one that is
    // served, which also keeps the listen queue from filling up.
    auto reconnects = [&](int count) {
        for (int i = 0; i < count; i++) {
            int leaving = ConnectLoopback(tcp_port_);
            ASSERT_GE(leaving, 0);
            close(leaving);
            if (i % 4 == 3) {
                int served = ConnectLoopback(tcp_port_);
                ASSERT_GE(served, 0);
                ASSERT_EQ(Final(served, "*"), status) << "after " << i + 1 << " clients left";
                close(served);
            }
        }
    };
    // A client sending random bytes while it reads what comes back.
    auto garbage = [&](size_t bytes, unsigned int seed) {
        int fd = ConnectLoopback(tcp_port_);
        ASSERT_GE(fd, 0);
        std::thread drain([fd] {
            char sink[4096];
            pollfd wanted{fd, POLLIN, 0};
            while (poll(&wanted, 1, 20000) > 0 && recv(fd, sink, sizeof sink, 0) > 0) {
            }
        });
        std::string noise(bytes, '\0');
        for (char &byte : noise) {
            byte = (char)((seed = seed * 1103515245u + 12345u) >> 16);
        }
        for (size_t sent = 0; sent < noise.size(); sent += 997) {
            ssize_t chunk = send(fd, noise.data() + sent,
                                 std::min<size_t>(997, noise.size() - sent), MSG_NOSIGNAL);
            EXPECT_GT(chunk, 0);
        }
        shutdown(fd, SHUT_WR);
        drain.join();
        close(fd);
    };

    // A first, smaller round of each, so that what is measured next is
    // growth, not first use (a sanitizer build's runtime grows on first use).
    storm(1000);
    reconnects(100);
    garbage(20000, 1);
    long rss_before = MemoryKb(server_.pid, "VmRSS");
    long peak_before = MemoryKb(server_.pid, "VmHWM");
    ASSERT_GT(rss_before, 0);

    auto started = std::chrono::steady_clock::now();
    storm(100000);
    auto storm_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    std::printf("100000 commands in %lld ms\n", (long long)storm_ms.count());
    reconnects(1000);
    garbage(200000, 12345);

    // Still serving, and no bigger than before.
    int after = NewClient();
    ASSERT_GE(after, 0);
    EXPECT_EQ(Final(after, "*"), status);
    long rss_after = MemoryKb(server_.pid, "VmRSS");
    long peak_after = MemoryKb(server_.pid, "VmHWM");
    std::printf("VmRSS %ld -> %ld kB, VmHWM %ld -> %ld kB\n", rss_before, rss_after, peak_before,
                peak_after);
    EXPECT_LE(rss_after, rss_before + 256);
    EXPECT_LE(peak_after, peak_before + 256);
}

TEST_F(Fiscald, SigtermAndSigintEndItWithStatusZero)
{
    StartSim(9600, 0);
    StartServer({"-v"});
    int client = NewClient();
    ASSERT_GE(client, 0);
    ASSERT_EQ(Final(client, "A"), "0000" + FS + "0100" + FS + "00000001");
    int status = StopServer(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReceiveOnce(client, 2000), "");

    StartServer({});
    status = StopServer(SIGINT);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Fiscald, VerboseTracePrintsTheExchangesOnTheConsole)
{
    StartSim(9600, 0);
    StartServer({"-v"});
    int client = NewClient();
    ASSERT_GE(client, 0);
    ASSERT_EQ(Final(client, "B" + FS + "x" + FS + "1" + FS + "1"), "0000" + FS + "8004");
    kill(server_.pid, SIGTERM);
    std::string out = ReadFrom(server_.out);
    EXPECT_NE(out.find("fiscald: comando [B|x|1|1]\r\nfiscald: respuesta [0000|8004]\r\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("fiscald: fin por senal\r\n"), std::string::npos) << out;
    int status = Reap(server_);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

struct Refusal {
    std::vector<std::string> args;
    std::string reason;
};

TEST(FiscaldOptions, BadOptionsGetTheReasonAndTheUsageWithStatusTwo)
{
    const std::vector<Refusal> cases = {
        {{"-x", "pts/1"}, "fiscald: opcion desconocida: -x\n"},
        {{"pts/1", "-p"}, "fiscald: sobra un argumento: -p\n"},
        {{"-p"}, "fiscald: falta el valor de: -p\n"},
        {{}, "fiscald: falta el puerto serie\n"},
        {{"-p", "70000", "pts/1"}, "fiscald: puerto TCP invalido (0-65535): 70000\n"},
        {{"-p", "12x", "pts/1"}, "fiscald: puerto TCP invalido (0-65535): 12x\n"},
        {{"-b", "57600", "pts/1"},
         "fiscald: velocidad invalida (1200 2400 4800 9600 19200 38400): 57600\n"},
        {{"-b", "9600", "-s", "pts/1"}, "fiscald: -b y -s no van juntos\n"},
        {{"-i", "50", "pts/1"}, "fiscald: intervalo invalido (100-60000 ms): 50\n"},
        {{"-w", "299", "pts/1"}, "fiscald: espera invalida (300-60000 ms): 299\n"},
        {{"-t", "-1", "pts/1"}, "fiscald: tiempo de inactividad invalido (0-86400 s): -1\n"},
        {{""}, "fiscald: nombre de puerto vacio o demasiado largo: \n"},
        {{"--port"}, "fiscald: falta el valor de: --port\n"},
        {{"--allow", "10.0.0.0/33", "pts/1"},
         "fiscald: red invalida o demasiadas redes (a.b.c.d/n, hasta 64): 10.0.0.0/33\n"},
        {{"-c", "0", "pts/1"}, "fiscald: limite de clientes invalido (1-1000): 0\n"},
        {{"-f", std::string(400, 'f'), "pts/1"},
         "fiscald: ruta del archivo de traza demasiado larga: " + std::string(400, 'f') + "\n"},
    };
    for (const auto &refusal : cases) {
        Child child = Spawn(refusal.args);
        EXPECT_EQ(ReadFrom(child.err), refusal.reason + Usage);
        EXPECT_EQ(ReadFrom(child.out), "");
        int status = Reap(child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2) << refusal.reason;
    }
}

TEST(FiscaldOptions, HelpPrintsTheUsageAndSucceeds)
{
    Child child = Spawn({"-h"});
    EXPECT_EQ(ReadFrom(child.out), Usage);
    int status = Reap(child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(FiscaldOptions, MissingDeviceOrUnwritableTraceFileEndWithStatusOne)
{
    Child child = Spawn({"-p", "0", "ttyNoSuchPort9"});
    EXPECT_EQ(ReadFrom(child.err),
              "fiscald: no se puede abrir /dev/ttyNoSuchPort9: No such file or directory\n");
    int status = Reap(child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);

    child = Spawn({"-p", "0", "/dev/null"});   // openable, but no terminal
    EXPECT_EQ(ReadFrom(child.err),
              "fiscald: no se puede abrir /dev/null: Inappropriate ioctl for device\n");
    EXPECT_EQ(WEXITSTATUS(Reap(child)), 1);

    child = Spawn({"-f", "/nonexistent_dir/trace", "pts/1"});
    EXPECT_EQ(ReadFrom(child.err), "fiscald: no se puede escribir el archivo de traza "
                                   "/nonexistent_dir/trace: No such file or directory\n");
    EXPECT_EQ(WEXITSTATUS(Reap(child)), 1);
}

// "Permission denied" alone leaves the person at the shop guessing: the
// message names the group that gives access (dialout for a serial port; a
// pseudo-terminal's is tty).
TEST(FiscaldOptions, APermissionErrorNamesTheGroupThatGivesAccess)
{
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run the server as another user";
    }
    ASSERT_EQ(fiscalsim_open(9600, 0, nullptr), 0);
    std::string device = std::string("/dev/") + fiscalsim_port_name();
    struct stat info;
    ASSERT_EQ(stat(device.c_str(), &info), 0);
    const struct group *owner = getgrgid(info.st_gid);
    ASSERT_NE(owner, nullptr);
    Child child = childprocess::Start({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--clear-groups", FISCALD_PROGRAM, "-p", "0", device});
    EXPECT_EQ(ReadFrom(child.err), "fiscald: no se puede abrir " + device +
                                       ": Permission denied (el acceso lo da el grupo " +
                                       owner->gr_name + ")\n");
    EXPECT_EQ(WEXITSTATUS(Reap(child)), 1);
    fiscalsim_close();
}

TEST(FiscaldOptions, AddressInUseIsAClearErrorWithStatusOne)
{
    ASSERT_EQ(fiscalsim_open(9600, 0, nullptr), 0);
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof local;
    ASSERT_EQ(bind(taken, (sockaddr *)&local, sizeof local), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    getsockname(taken, (sockaddr *)&local, &len);
    std::string port = std::to_string(ntohs(local.sin_port));
    Child child = Spawn({"-p", port, fiscalsim_port_name()});
    EXPECT_EQ(ReadFrom(child.err), "fiscald: no se puede escuchar en 127.0.0.1:" + port +
                                       ": bind: Address already in use\n");
    EXPECT_EQ(WEXITSTATUS(Reap(child)), 1);
    child = Spawn({"-l", "1.2.3", fiscalsim_port_name()});
    EXPECT_EQ(ReadFrom(child.err), "fiscald: no se puede escuchar en 1.2.3:1600: "
                                   "direccion IPv4 invalida: Invalid argument\n");
    EXPECT_EQ(WEXITSTATUS(Reap(child)), 1);
    close(taken);
    fiscalsim_close();
}

// Out of descriptors (a limit of 32, 40 tills connecting), the server pauses
// accepting, says so once, takes no core, and serves again once one frees.
TEST_F(Fiscald, OutOfDescriptorsItPausesAcceptingAndServesAgainOnceOneFrees)
{
    StartSim(9600, 0);
    server_ = childprocess::Start({"/usr/bin/prlimit", "--nofile=32:32", FISCALD_PROGRAM, "-p", "0",
                                   "-j", fiscalsim_port_name()});
    AwaitListening();
    ASSERT_NE(startup_out_.find("127.0.0.1:"), std::string::npos) << startup_out_;
    std::vector<int> tills;
    for (int i = 0; i < 40; i++) {
        tills.push_back(ConnectLoopback(tcp_port_));
        ASSERT_GE(tills.back(), 0);
    }
    auto cpu_ticks = [&] {
        std::string stat = childprocess::ReadFile("/proc/" + std::to_string(server_.pid) + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; i++) {
            ticks += i >= 14 ? std::stol(field) : 0;   // utime, stime
        }
        return ticks;
    };
    long before = cpu_ticks();
    std::string journal = ReadFrom(server_.err, "", 2000);
    EXPECT_LE(cpu_ticks() - before, 20) << "a busy loop";   // of 200 ticks in 2 s
    size_t first = journal.find("sin descriptores libres");
    ASSERT_NE(first, std::string::npos) << journal;
    EXPECT_EQ(journal.find("sin descriptores libres", first + 1), std::string::npos) << journal;
    for (int i = 0; i < 20; i++) {
        close(tills[(size_t)i]);
    }
    EXPECT_EQ(Final(tills.back(), "*"),
              "0000" + FS + "0000" + FS + "0" + FS + "00000000" + FS + "0");
    for (int i = 20; i < 40; i++) {
        close(tills[(size_t)i]);
    }
}

}   // namespace
