// fiscald built with a packet layer from outside the kit, as a program in
// front of the simulator: what it promises with the calls its layer has
// (FISCALD_LAYER_*, found when the build was configured). With only the two
// calls the driver needs, it still serves a receipt, finds a lost line from
// the device itself, and never sends a command whose outcome is unknown a
// second time.
#include "childprocess.h"
#include "fiscald_fixture.h"

#include <chrono>

namespace {

using namespace fiscaldtest;
using namespace std::chrono_literals;

const std::string NO_TRY_LIMIT = "fiscald: aviso: -w no se puede aplicar: la capa de paquetes no "
                                 "ofrece SetPacketTryLimit\n";
const std::string STATUS_IDLE = "0000" + FS + "0000" + FS + "0" + FS + "00000000" + FS + "0";

class LayerFiscald : public Fiscald {
protected:
    // The simulator at 9600 baud, with its journal in a folder of the test's.
    void StartSimWithJournal(int busy_ms, const char *link = nullptr)
    {
        ASSERT_EQ(fiscalsim_open(9600, busy_ms, link), 0);
        ASSERT_EQ(fiscalsim_journal((dir_ + "/journal").c_str()), 0);
        runner_ = std::thread(fiscalsim_run);
        sim_running_ = true;
    }

    std::string Journal() { return childprocess::ReadFile(dir_ + "/journal"); }
};

TEST_F(LayerFiscald, AReceiptThroughRuvadoIsAnsweredWholeAndASlowCommandDrawsInterims)
{
    std::string dir = TempDir();
    StartSimWithJournal(900);
    StartServer({"-w", "300", "-i", "300", "-f", dir + "/trace"});
    childprocess::WriteFile(dir + "/cmd.txt", "A\nB\x1c"
                                              "Cafe\x1c"
                                              "2\x1c"
                                              "1.50\nS\nC\nE\n");
    auto result = childprocess::Run(
        {RUVADO_PROGRAM, "-p", std::to_string(tcp_port_), "-t", "127.0.0.1", "cmd.txt"}, dir,
        30000);

    EXPECT_EQ(result.status, 0) << childprocess::ReadFile(dir + "/stderr.txt");
    EXPECT_EQ(result.out,
              "Conectando a 127.0.0.1, port " + std::to_string(tcp_port_) +
                  "\n"
                  "Envio     : [A]\nRespuesta : [0000|0100|00000001]\n\n"
                  "Envio     : [B|Cafe|2|1.50]\nRespuesta : [0000|0100|Cafe|3.00|3.00]\n\n"
                  "Envio     : [S]\nRespuesta : [0000|0100|900]\n\n"
                  "Envio     : [C]\nRespuesta : [0000|0100|1|3.00]\n\n"
                  "Envio     : [E]\nRespuesta : [0000|0000|00000001|1|3.00]\n\n");
    // The probe of a fresh server, then each command once.
    EXPECT_EQ(Journal(), "*\nA\nB|Cafe|2|1.50\nS\nC\nE\n");
    EXPECT_NE(childprocess::ReadFile(dir + "/trace").find("respuesta intermedia DC2"),
              std::string::npos);
    EXPECT_EQ(ReadFrom(server_.err, "", 500), FISCALD_LAYER_TRY_LIMIT ? "" : NO_TRY_LIMIT);
}

TEST_F(LayerFiscald, ALineUnpluggedMidCommandIsToldLostAndIsServedAgainOnceBack)
{
    std::string link = TempDir() + "/line";
    StartSimWithJournal(0, link.c_str());
    StartServer({}, link);
    int client = NewClient();
    long frames = fiscalsim_frames_received();
    ASSERT_EQ(send(client,
                   "S\x1c"
                   "1000",
                   6, MSG_NOSIGNAL),
              6);
    for (int i = 0; i < 100 && fiscalsim_frames_received() == frames; i++) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(fiscalsim_vanish(), 0);
    EXPECT_EQ(ReceiveOnce(client), "ERR" + FS + "LINEA CAIDA" + FS + "DESCONOCIDO");
    EXPECT_EQ(Final(client, "*"), "ERR" + FS + "LINEA CAIDA" + FS + "NO ENVIADO");
    std::this_thread::sleep_for(1000ms);   // the slow command ends on the controller
    ASSERT_EQ(fiscalsim_come_back(), 0);
    EXPECT_EQ(Final(client, "*"), STATUS_IDLE);
}

TEST_F(LayerFiscald, AnUnknownOutcomeIsNeverRunTwiceByItsResend)
{
    TempDir();
    StartSimWithJournal(0);
    StartServer({});
    int client = NewClient();
    // The controller runs the command; its answer comes after every try gave up.
    fiscalsim_answer_late(1, 2500);
    ASSERT_EQ(Final(client, "A"), "ERR" + FS + "SIN RESPUESTA" + FS + "DESCONOCIDO");
    std::this_thread::sleep_for(1500ms);   // the late answer has gone by
    long frames = fiscalsim_frames_received();
    std::string resent = Final(client, "A");
    if (FISCALD_LAYER_NEXT_SEQ) {
        // Under the same sequence byte: answered from the controller's memory.
        EXPECT_EQ(resent, "0000" + FS + "0100" + FS + "00000001");
    } else {
        // Under a byte the layer picks it would be a new command: it is not
        // sent, and its outcome stays unknown.
        EXPECT_EQ(frames, fiscalsim_frames_received());
        EXPECT_EQ(resent, "ERR" + FS + "NO VERIFICABLE" + FS + "DESCONOCIDO");
    }
    EXPECT_EQ(Final(client, "C"), "0000" + FS + "0100" + FS + "0" + FS + "0.00");
    EXPECT_EQ(Journal(), "*\nA\nC\n");
}

}   // namespace
