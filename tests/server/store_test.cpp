// What the server keeps: cards and issue records survive a restart and a crash in the middle of a
// write; the program itself starts, answers, refuses a busy port and stops on a signal.
#include "server_fixture.h"

#include "core/files.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;

namespace rv::test {
namespace {

class StoreTest : public ServerFixture {};

TEST_F(StoreTest, CardsIssuesAndTheCaSurviveARestart) {
    server::SimCard card = Enrol("P300");
    std::string caPem = ca_->CertPem();
    std::string error;
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error;

    StopServer();
    StartServer();
    EXPECT_EQ(ca_->CertPem(), caPem);
    ASSERT_EQ(store_->IssueCount(), 1u);
    EXPECT_EQ(store_->Issues()[0].certPem, card.record.certPem);
    EXPECT_EQ(store_->FindCard("P300")->certPem, card.record.certPem);
    // The restarted server goes on with the renewed card.
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error;
    EXPECT_EQ(store_->IssueCount(), 2u);
}

TEST_F(StoreTest, ACardEnrolledByAnotherProcessIsFoundWhileRunning) {
    // Another store object over the same folder stands for the enrolment command.
    server::Store other;
    std::string error;
    ASSERT_TRUE(other.Open(data_, error)) << error;
    server::SimCard card;
    ASSERT_TRUE(server::EnrolSimCard(other, *ca_, "LATE", 30, card, error)) << error;
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error;
}

TEST_F(StoreTest, ARenewalOutlivesARestartButNotALaterReEnrolment) {
    server::SimCard card = Enrol("P304");
    std::string error;
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error;
    std::string renewed = card.record.certPem;
    StopServer();
    StartServer();
    ASSERT_EQ(store_->FindCard("P304")->certPem, renewed);
    // Enrolled anew under the same number: the journal's older issue no longer applies to it.
    server::SimCard again = Enrol("P304");
    StopServer();
    StartServer();
    EXPECT_EQ(store_->FindCard("P304")->certPem, again.record.certPem);
    EXPECT_EQ(store_->IssueCount(), 1u);
    ASSERT_TRUE(server::RunRenewal(*client_, again, error)) << error;
}

TEST_F(StoreTest, ALineTornByACrashIsCutOffAndAppendsGoOn) {
    server::SimCard card = Enrol("P301");
    std::string error;
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error;
    StopServer();
    {
        std::ofstream log(data_ / "issues.jsonl", std::ios::app | std::ios::binary);
        log << "{\"serial\":\"AB";
    }
    StartServer();
    EXPECT_EQ(store_->IssueCount(), 1u);
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error;
    StopServer();
    StartServer();
    EXPECT_EQ(store_->IssueCount(), 2u);
}

TEST_F(StoreTest, ADamagedCardRecordStopsTheStoreFromOpening) {
    Enrol("P302");
    StopServer();
    std::filesystem::path file = *std::filesystem::directory_iterator(data_ / "cards");
    {
        std::ofstream out(file, std::ios::trunc);
        out << "{\"certSeqNo\":";
    }
    server::Store store;
    std::string error;
    EXPECT_FALSE(store.Open(data_, error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    std::filesystem::remove(file);
    StartServer();
}

TEST_F(StoreTest, LeftoverTempFilesOfAnUnfinishedWriteAreIgnored) {
    server::SimCard card = Enrol("P303");
    StopServer();
    std::ofstream(data_ / "cards" / "abc.json.tmp.1.0") << "{half";
    StartServer();
    EXPECT_EQ(store_->CardCount(), 1u);
}

TEST_F(StoreTest, AtomicWriteReplacesTheWholeFileOrNothing) {
    std::filesystem::path file = folder_.path() / "f.json";
    std::string error;
    ASSERT_TRUE(server::WriteFileAtomically(file, "one", error)) << error;
    ASSERT_TRUE(server::WriteFileAtomically(file, "two", error)) << error;
    std::string text;
    ASSERT_TRUE(server::ReadWholeFile(file, text, error));
    EXPECT_EQ(text, "two");
    // Into a folder that does not exist: fails, reports why.
    EXPECT_FALSE(server::WriteFileAtomically(folder_.path() / "none" / "f.json", "x", error));
    EXPECT_FALSE(error.empty());
    // No temp file is left behind.
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder_.path())) {
        ++files;
    }
    EXPECT_EQ(files, 2); // f.json and the data folder
}

TEST_F(StoreTest, RecordsRoundTripThroughTheirJson) {
    server::CardRecord card;
    card.certSeqNo = "A|B";
    card.legalPerson = U8(u8"王\"五\\");
    card.certPem = "-----BEGIN CERTIFICATE-----\nAA\n-----END CERTIFICATE-----\n";
    server::CardRecord back;
    ASSERT_TRUE(server::Store::CardFromJson(server::Store::CardToJson(card), back));
    EXPECT_EQ(back.legalPerson, card.legalPerson);
    EXPECT_EQ(back.certPem, card.certPem);
    EXPECT_FALSE(server::Store::CardFromJson("{\"certSeqNo\":\"x\"}", back));
    server::CardRecord tooLong = card;
    tooLong.certSeqNo = std::string(65, '1');
    std::string error;
    EXPECT_FALSE(store_->PutCard(tooLong, false, error));
}

// The program, run as a process.
class ServerProcess {
public:
    explicit ServerProcess(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::close(out[0]);
            ::close(err[0]);
            std::vector<char*> argv;
            std::string exe = std::string(RENVORA_BUILD_DIR) + "/server/renvora-server";
            argv.push_back(exe.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~ServerProcess() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    // The first line on stdout (waits at most 10 s).
    std::string FirstLine() {
        std::string line;
        char c;
        for (int i = 0; i < 200 && line.find('\n') == std::string::npos;) {
            ssize_t n = ::read(out_, &c, 1);
            if (n == 1) {
                line.push_back(c);
            } else if (n == 0) {
                break;
            } else {
                ++i;
                ::usleep(50000);
            }
        }
        return line;
    }
    std::string Stderr() {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(err_, buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        }
        return text;
    }
    void Signal(int sig) { ::kill(pid_, sig); }
    int Wait() {
        int status = 0;
        // Bounded: at most 10 s.
        for (int i = 0; i < 1000; ++i) {
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                waited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(10000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool waited_ = false;
};

int PortOf(const std::string& line) {
    std::size_t colon = line.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}

TEST_F(StoreTest, TheProgramPrintsItsPortServesAndStopsOnSigterm) {
    ServerProcess proc({"--port", "0", "--data", (folder_.path() / "proc").string()});
    std::string line = proc.FirstLine();
    ASSERT_EQ(line.rfind("listening on http://127.0.0.1:", 0), 0u) << line;
    int port = PortOf(line);
    ASSERT_GT(port, 0);
    server::ProtocolClient client("127.0.0.1", port);
    server::PostResult r = client.PostRaw("/selfIcUpdate", std::string(1, '\0'));
    EXPECT_EQ(Code(r), "-2");
    proc.Signal(SIGTERM);
    EXPECT_EQ(proc.Wait(), 0);
    std::string log = proc.Stderr();
    EXPECT_NE(log.find("POST /selfIcUpdate 200 code=-2"), std::string::npos) << log;
    EXPECT_TRUE(std::filesystem::exists(folder_.path() / "proc" / "ca.crt"));
}

TEST_F(StoreTest, AKilledServerLosesNoCardAndNoIssue) {
    fs::path data = folder_.path() / "killed";
    std::vector<server::SimCard> cards(3);
    {
        std::string error;
        std::unique_ptr<server::CertificateAuthority> ca = server::CertificateAuthority::Open(data, error);
        server::Store store;
        ASSERT_TRUE(ca && store.Open(data, error)) << error;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(server::EnrolSimCard(store, *ca, "K" + std::to_string(i), 30, cards[i], error))
                << error;
        }
    }
    ServerProcess proc({"--port", "0", "--data", data.string()});
    int port = PortOf(proc.FirstLine());
    ASSERT_GT(port, 0);
    server::ProtocolClient client("127.0.0.1", port);
    std::string error;
    for (int round = 0; round < 2; ++round) {
        for (server::SimCard& card : cards) {
            ASSERT_TRUE(server::RunRenewal(client, card, error)) << error;
        }
    }
    proc.Signal(SIGKILL); // no chance to flush anything
    EXPECT_EQ(proc.Wait(), 128 + SIGKILL);

    server::Store store;
    ASSERT_TRUE(store.Open(data, error)) << error;
    EXPECT_EQ(store.CardCount(), 3u);
    EXPECT_EQ(store.IssueCount(), 6u);
    for (const server::SimCard& card : cards) {
        EXPECT_EQ(store.FindCard(card.record.certSeqNo)->certPem, card.record.certPem);
    }
}

TEST_F(StoreTest, TheProgramRefusesAPortInUse) {
    ServerProcess proc({"--port", std::to_string(port_), "--data", (folder_.path() / "proc").string()});
    EXPECT_EQ(proc.Wait(), 1);
    EXPECT_NE(proc.Stderr().find("cannot listen"), std::string::npos);
}

TEST_F(StoreTest, TheProgramRefusesBadOptions) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--port", "70000"}, {"--port", "12x"}, {"--bogus", "1"}, {"--cert", "only-cert.pem"}}) {
        ServerProcess proc(args);
        EXPECT_EQ(proc.Wait(), 2) << args[0];
    }
}

} // namespace
} // namespace rv::test
