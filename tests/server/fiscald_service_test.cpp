// What the server tells the service manager (its notify socket, played here
// by the test) and the operator (its control socket, through fiscald
// --status and --forget).
#include "fiscald_fixture.h"
#include "kitversion.h"

#include <sys/un.h>

#include <chrono>
#include <regex>

namespace {

using namespace fiscaldtest;
using namespace std::chrono_literals;

const std::string UNKNOWN_SILENT = "ERR" + FS + "SIN RESPUESTA" + FS + "DESCONOCIDO";
const std::string ITEM = "B" + FS + "Cafe" + FS + "2" + FS + "1.50";

// Times as "T": what is compared is everything else.
std::string WithoutTimes(const std::string &text)
{
    static const std::regex TIMES(
        "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{4}|"
        "[0-9]{2}:[0-9]{2}:[0-9]{2}");
    return std::regex_replace(text, TIMES, "T");
}

// The service manager's end of the notify socket.
struct ManagerSocket {
    int fd = -1;
    explicit ManagerSocket(const std::string &path)
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (bind(fd, (sockaddr *)&address, sizeof address) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~ManagerSocket()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    // The next message (the notifications are short); "" after limit_ms without one.
    std::string Next(int limit_ms = 5000) const { return ReceiveOnce(fd, limit_ms); }
    // The next message that is not a watchdog ping; the pings seen meanwhile
    // are counted into *pings.
    std::string NextNotPing(int *pings, int limit_ms = 5000) const
    {
        for (;;) {
            std::string message = Next(limit_ms);
            if (message != "WATCHDOG=1") {
                return message;
            }
            (*pings)++;
        }
    }
};

TEST_F(Fiscald, TellsTheServiceManagerWhenItIsReadyHowItIsAndWhenItStops)
{
    StartSim(9600, 0);
    std::string dir = TempDir();
    ManagerSocket manager(dir + "/notify");
    ASSERT_GE(manager.fd, 0);
    setenv("NOTIFY_SOCKET", (dir + "/notify").c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);   // a ping every 200 ms
    StartServer({"-b", "9600", "-w", "300"});
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    int pings = 0;
    EXPECT_EQ(
        manager.NextNotPing(&pings),
        "STATUS=abriendo la linea; 0 clientes, 0 en cola, 0 servidos, 0 con error, 0 en duda");
    EXPECT_EQ(manager.NextNotPing(&pings),
              "READY=1\nSTATUS=linea abierta a 9600 baudios; 0 "
              "clientes, 0 en cola, 0 servidos, 0 con error, 0 en duda");
    int till = NewClient();
    fiscalsim_answer_late(1, 1500);
    ASSERT_EQ(Final(till, ITEM), UNKNOWN_SILENT);
    // The status follows the server, at most once a second, up to how it is now.
    const std::string now = "STATUS=linea abierta a 9600 baudios; el controlador no responde desde "
                            "las T; 1 clientes, 0 en cola, 0 servidos, 1 con error, 1 en duda";
    std::string status;
    while (status != now) {
        std::string message = manager.NextNotPing(&pings);
        ASSERT_EQ(message.rfind("STATUS=", 0), 0u) << message;
        status = WithoutTimes(message);
    }
    EXPECT_EQ(manager.Next(1500).rfind("WATCHDOG=1", 0), 0u);   // nothing new: only pings
    EXPECT_GE(pings, 3);
    kill(server_.pid, SIGTERM);
    EXPECT_EQ(manager.NextNotPing(&pings), "STOPPING=1");
    EXPECT_EQ(Reap(server_), 0);
}

childprocess::Result Ask(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {FISCALD_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return childprocess::Run(argv, "", 10000);
}

TEST_F(Fiscald, TheControlSocketShowsHowItIsAndLetsTheOperatorForgetACommandInDoubt)
{
    StartSim(9600, 0);
    std::string dir = TempDir();
    std::string control = dir + "/control";
    StartServer(
        {"-b", "9600", "-w", "300", "--state-file", dir + "/state", "--control-socket", control});
    struct stat seen {};
    ASSERT_EQ(stat(control.c_str(), &seen), 0);
    EXPECT_TRUE(S_ISSOCK(seen.st_mode));
    EXPECT_EQ(seen.st_mode & 0777, 0660u);   // root and the service's group

    int till = NewClient("127.0.0.2");
    fiscalsim_answer_late(1, 1500);
    ASSERT_EQ(Final(till, ITEM), UNKNOWN_SILENT);
    auto status = Ask({"--status", control});
    EXPECT_EQ(status.status, 0);
    std::string port = fiscalsim_port_name();
    EXPECT_EQ(
        std::regex_replace(WithoutTimes(status.out), std::regex("127.0.0.2:[0-9]+"), "127.0.0.2:P"),
        "version " KIT_VERSION "\ndispositivo /dev/" + port +
            "\nlinea abierta\nlinea_desde T\nvelocidad 9600\n"
            "controlador no_responde\ncontrolador_desde T\n"
            "clientes 1\ncliente 1 127.0.0.2:P desde T comandos 1 inactivo\n"
            "en_cola 0\nservidos 0\nde_memoria 0\ncon_error 1\n"
            "error 1 SIN RESPUESTA|DESCONOCIDO\n"
            "en_duda 1\nduda 1 127.0.0.2 cliente 1 desde T verificable B|Cafe|2|1.50\n");

    auto forgotten = Ask({"--forget", "1", control});
    EXPECT_EQ(forgotten.status, 0);
    EXPECT_EQ(forgotten.out, "olvidado 1\n");
    auto again = Ask({"--forget", "1", control});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "");
    EXPECT_NE(Ask({"--status", control}).out.find("\nen_duda 0\n"), std::string::npos);

    // A server that ended without removing its socket leaves it stale: the
    // next one takes the path over. With none listening, the asker is told.
    StopServer(SIGKILL);
    auto nobody = Ask({"--status", control});
    EXPECT_EQ(nobody.status, 1);
    EXPECT_EQ(nobody.out, "");
    StartServer({"-b", "9600", "--control-socket", control});
    EXPECT_EQ(Ask({"--status", control}).status, 0);
    EXPECT_EQ(StopServer(SIGTERM), 0);
    EXPECT_NE(stat(control.c_str(), &seen), 0);   // removed at the end
}

}   // namespace
