// What the server keeps: cards and issue records survive a restart and a crash in the middle of a
// write; the program itself starts, answers, refuses a busy port and stops on a signal.
#include "server_fixture.h"

#include "core/files.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <fstream>
#include <future>
#include <map>
#include <random>
#include <thread>

namespace fs = std::filesystem;

namespace rv::test {
namespace {

class StoreTest : public ServerFixture {};
// What every engine keeps across a restart and for other processes.
class StoreContractTest : public StoreSuite<> {};

std::vector<server::SetState> States(server::Store& store) {
    std::vector<server::SetState> out;
    for (const server::IssueRecord& i : store.Issues()) {
        out.push_back(i.state);
    }
    return out;
}

TEST_P(StoreContractTest, CardsSetsAndTheCaSurviveARestart) {
    server::SimCard card = Enrol("P300");
    std::string caPem = ca_->CertPem();
    std::string error;
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error;

    StopServer();
    StartServer();
    EXPECT_EQ(ca_->CertPem(), caPem);
    ASSERT_EQ(store_->IssueCount(), 1u);
    EXPECT_EQ(store_->FindCard("P300")->pending.at(0).certPem, card.record.certPem);
    // The restarted server goes on with the renewed card, whose signature confirms the set it holds.
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error;
    using S = server::SetState;
    EXPECT_EQ(States(*store_), (std::vector<S>{S::Confirmed, S::Pending}));
}

TEST_P(StoreContractTest, EnrolmentsByAnotherProcessCountAtOnceOnTheRunningServer) {
    // Another store object over the same data stands for the enrolment command.
    std::string error;
    std::unique_ptr<server::Store> other = OpenStore(error);
    ASSERT_TRUE(other) << error;
    server::SimCard card;
    ASSERT_TRUE(server::EnrolSimCard(*other, *ca_, "LATE", 30, card, error)) << error;
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error;
    // Enrolled anew (--replace) while the server runs: the new card renews at once, the old one no more,
    // and the set issued to the old enrolment is superseded.
    server::SimCard again;
    ASSERT_TRUE(server::EnrolSimCard(*other, *ca_, "LATE", 30, again, error)) << error;
    EXPECT_FALSE(server::RunRenewal(*client_, card, error));
    EXPECT_NE(error.find("code 5"), std::string::npos) << error;
    ASSERT_TRUE(server::RunRenewal(*client_, again, error)) << error;
    using S = server::SetState;
    EXPECT_EQ(States(*store_), (std::vector<S>{S::Superseded, S::Pending}));
    EXPECT_EQ(store_->Issues()[0].reason, "the card was enrolled again");
}

// A data folder of the earlier format (one JSON file per card, a journal of issues) is taken over on the
// first start. Its last issue counts as pending, so a card whose answer was lost before the upgrade can
// renew again with its previous certificate.
TEST_F(StoreTest, AFolderOfTheEarlierFormatIsMigrated) {
    server::SimCard card = Enrol("P310");
    std::string error;
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error; // installed
    server::SimCard lost; // the card as it was before the next renewal
    lost.record = card.record;
    lost.key.reset(EVP_PKEY_dup(card.key.get()));
    ASSERT_TRUE(server::RunRenewal(*client_, card, error))
        << error; // its answer "lost": `lost` keeps the old
    std::vector<server::IssueRecord> issues = store_->Issues();
    ASSERT_EQ(issues.size(), 2u);
    server::CardRecord record = store_->FindCard("P310")->card;
    StopServer();

    // The earlier format's modes: a 0755 folder, card records with the management password 0644.
    fs::path legacy = folder_.path() / "legacy";
    fs::create_directories(legacy / "cards");
    fs::permissions(legacy, fs::perms(0755));
    fs::permissions(legacy / "cards", fs::perms(0755));
    for (const char* f : {"ca.key", "ca.crt", "kms.key", "css-env.key"}) {
        fs::copy_file(data_ / f, legacy / f);
    }
    std::ofstream(legacy / "cards" / "50333130.json")
        << server::JsonObject({{"certSeqNo", record.certSeqNo},
                               {"legalPerson", record.legalPerson},
                               {"idType", record.idType},
                               {"idNumber", record.idNumber},
                               {"icCode", record.icCode},
                               {"entName", record.entName},
                               {"unitType", record.unitType},
                               {"raCode", record.raCode},
                               {"cryptAlgo", record.cryptAlgo},
                               {"managePassword", record.managePassword},
                               {"certPem", record.certPem},
                               {"enrolledAt", record.enrolledAt},
                               {"journalFrom", "0"}});
    {
        std::ofstream journal(legacy / "issues.jsonl");
        for (const server::IssueRecord& i : issues) {
            journal << server::JsonObject({{"serial", i.serial},
                                           {"envSerial", i.envSerial},
                                           {"certSeqNo", i.certSeqNo},
                                           {"icCode", i.icCode},
                                           {"opSeqNo", i.opSeqNo},
                                           {"issuedAt", i.issuedAt},
                                           {"notBefore", i.notBefore},
                                           {"notAfter", i.notAfter},
                                           {"certPem", i.certPem}})
                    << "\n";
        }
        journal << "{\"serial\":\"AB"; // torn by a crash
    }
    data_ = legacy;
    StartServer();
    using S = server::SetState;
    EXPECT_EQ(States(*store_), (std::vector<S>{S::Confirmed, S::Pending}));
    EXPECT_TRUE(fs::exists(legacy / "cards.migrated"));
    EXPECT_TRUE(fs::exists(legacy / "issues.jsonl.migrated"));
    EXPECT_FALSE(fs::exists(legacy / "issues.jsonl"));
    // The old files are kept, readable by the owner alone, like the database that holds the same secrets.
    const auto mode = [](const fs::path& p) { return static_cast<unsigned>(fs::status(p).permissions()); };
    EXPECT_EQ(mode(legacy), 0700u);
    EXPECT_EQ(mode(legacy / "cards.migrated"), 0700u);
    EXPECT_EQ(mode(legacy / "cards.migrated" / "50333130.json"), 0600u);
    EXPECT_EQ(mode(legacy / "issues.jsonl.migrated"), 0600u);
    // The card whose last answer was lost renews with the set before it: a sibling of the lost one.
    ASSERT_TRUE(server::RunRenewal(*client_, lost, error)) << error;
    EXPECT_EQ(States(*store_), (std::vector<S>{S::Confirmed, S::Pending, S::Pending}));
    // Opened again, nothing is migrated twice.
    StopServer();
    StartServer();
    EXPECT_EQ(store_->IssueCount(), 3u);
    EXPECT_EQ(store_->CardCount(), 1u);
}

TEST_F(StoreTest, ADamagedRecordOfTheEarlierFormatStopsTheMigrationAndKeepsTheFiles) {
    fs::path legacy = folder_.path() / "legacy";
    fs::create_directories(legacy / "cards");
    std::ofstream(legacy / "cards" / "41.json") << "{\"certSeqNo\":";
    server::SqliteStore store;
    std::string error;
    EXPECT_FALSE(store.Open(legacy, error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    EXPECT_TRUE(fs::exists(legacy / "cards" / "41.json"));
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

// Operators read the store with the sqlite3 command line while the server runs.
TEST_F(StoreTest, TheStoreIsReadableWithTheSqliteCommandLine) {
    server::SimCard card = Enrol("P320");
    std::string error;
    ASSERT_TRUE(server::RunRenewal(*client_, card, error)) << error;
    std::string out = folder_.path() / "out.txt";
    std::string command = "sqlite3 -readonly '" + sqlite_->DatabasePath().string() +
                          "' \"SELECT cert_seq_no, state FROM issues; PRAGMA user_version;\" > '" + out +
                          "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::string text;
    ASSERT_TRUE(server::ReadWholeFile(out, text, error));
    EXPECT_EQ(text, "P320|pending\n3\n");
    server::CardRecord tooLong = card.record;
    tooLong.certSeqNo = std::string(65, '1');
    EXPECT_FALSE(store_->PutCard(tooLong, false, error));
}

TEST_F(StoreTest, TheProgramPrintsItsPortServesAndStopsOnSigterm) {
    // A data folder other users can enter (made by hand here) is served, with a warning.
    fs::create_directories(folder_.path() / "proc");
    fs::permissions(folder_.path() / "proc", fs::perms(0755));
    ServerProcess proc({"--port", "0", "--data", (folder_.path() / "proc").string()});
    std::string line = proc.FirstLine();
    ASSERT_EQ(line.rfind("listening on http://127.0.0.1:", 0), 0u) << line;
    int port = PortOf(line);
    ASSERT_GT(port, 0);
    server::ProtocolClient client("127.0.0.1", port);
    server::PostResult r = client.PostRaw("/selfIcUpdate", std::string(1, '\0'));
    EXPECT_EQ(Code(r), "-2");
    // What it made in there is its owner's alone all the same, the database's journal files included.
    for (const char* f : {"ca.key", "kms.key", "css-env.key", "store.db", "store.db-wal", "store.db-shm"}) {
        fs::path p = folder_.path() / "proc" / f;
        EXPECT_EQ(fs::exists(p) ? static_cast<unsigned>(fs::status(p).permissions()) : 0u, 0600u) << f;
    }
    proc.Signal(SIGTERM);
    EXPECT_EQ(proc.Wait(), 0);
    std::string log = proc.Stderr();
    EXPECT_NE(log.find("POST /selfIcUpdate 200 code=-2"), std::string::npos) << log;
    EXPECT_NE(log.find("warning: the data folder " + (folder_.path() / "proc").string() + " has mode 0755"),
              std::string::npos)
        << log;
    EXPECT_TRUE(std::filesystem::exists(folder_.path() / "proc" / "ca.crt"));
}

// kill -9 at random moments while three clients renew: every renewal answered is in the store once, no
// set is recorded twice, and each card renews on after the restart whatever it missed.
TEST_F(StoreTest, AServerKilledAtRandomMomentsLosesNoRenewalAndDuplicatesNone) {
    fs::path data = folder_.path() / "killed";
    constexpr int kCards = 3;
    std::vector<server::SimCard> cards(kCards);
    {
        std::string error;
        server::SqliteStore store;
        ASSERT_TRUE(store.Open(data, error)) << error;
        std::unique_ptr<server::CertificateAuthority> ca = server::CertificateAuthority::Open(data, error);
        ASSERT_TRUE(ca) << error;
        for (int i = 0; i < kCards; ++i) {
            ASSERT_TRUE(server::EnrolSimCard(store, *ca, "K" + std::to_string(i), 30, cards[i], error))
                << error;
        }
    }
    std::vector<std::vector<std::string>> answered(kCards);
    std::mt19937 random(std::random_device{}());
    for (int kill = 0; kill < 4; ++kill) {
        ServerProcess proc({"--port", "0", "--data", data.string(), "--quiet"});
        int port = PortOf(proc.FirstLine());
        ASSERT_GT(port, 0);
        std::atomic<bool> stop{false};
        std::vector<std::thread> clients;
        for (int i = 0; i < kCards; ++i) {
            clients.emplace_back([&, i] {
                server::ProtocolClient client("127.0.0.1", port);
                std::string error;
                // Bounded: until the server is gone, at most 200 renewals.
                for (int n = 0; n < 200 && !stop && server::RunRenewal(client, cards[i], error); ++n) {
                    answered[i].push_back(server::CertSerialHex(cards[i].record.certPem));
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 400));
        proc.Signal(SIGKILL); // no chance to flush anything
        EXPECT_EQ(proc.Wait(), 128 + SIGKILL);
        stop = true;
        for (auto& t : clients) {
            t.join();
        }
    }
    server::SqliteStore store;
    std::string error;
    ASSERT_TRUE(store.Open(data, error)) << error;
    EXPECT_EQ(store.CardCount(), static_cast<std::size_t>(kCards));
    std::map<std::string, int> recorded;
    for (const server::IssueRecord& issue : store.Issues()) {
        ++recorded[issue.serial];
    }
    std::size_t total = 0;
    for (int i = 0; i < kCards; ++i) {
        total += answered[i].size();
        for (const std::string& serial : answered[i]) {
            EXPECT_EQ(recorded[serial], 1) << serial;
        }
        // The card's own set is the one it will be known by: confirmed, or pending.
        std::optional<server::CardState> state = store.FindCard(cards[i].record.certSeqNo);
        ASSERT_TRUE(state);
        EXPECT_TRUE(
            state->ConfirmedPem() == cards[i].record.certPem ||
            std::any_of(state->pending.begin(), state->pending.end(),
                        [&](const server::IssueRecord& p) { return p.certPem == cards[i].record.certPem; }));
    }
    for (const auto& [serial, n] : recorded) {
        EXPECT_EQ(n, 1) << serial;
    }
    EXPECT_GT(total, 0u);
}

// The store's disk fills between the verifications of eight cards and their renewal requests: every
// renewal is refused with the store's code, none is answered or recorded without the other, and once
// there is room again every card renews, each known by the set it holds.
TEST_F(StoreTest, AFullDiskRefusesRenewalsCleanlyAndTheyGoOnOnceThereIsRoom) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root (CI runs as root)";
    }
    const fs::path disk = folder_.path() / "small";
    fs::create_directories(disk);
    ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=2m"), 0) << std::strerror(errno);
    struct Unmount { // also when an assertion ends the test early; lazily, as the server may hold files
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{disk};
    StopServer();
    data_ = disk / "data";
    StartServer();
    constexpr int kClients = 8;
    std::vector<server::SimCard> cards;
    std::vector<server::UpdateValues> requests;
    for (int i = 0; i < kClients; ++i) {
        cards.push_back(Enrol("F" + std::to_string(i)));
        server::PostResult v = Verify(cards.back());
        server::UpdateValues u{server::CardSignature(cards.back().key.get(), cards.back().record,
                                                     Field(v, "opSeqNo"), Field(v, "signDate")),
                               Field(v, "opSeqNo"), Field(v, "signDate"),
                               server::PublicKeyToPem(server::GenerateCardKey("SM2").get()),
                               Field(v, "random")};
        requests.push_back(u);
    }
    {
        std::ofstream filler(disk / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
    }
    // The renewal requests at once (their commits share batches), then whole renewals again.
    std::vector<std::string> answers(kClients), again(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            server::ProtocolClient client("127.0.0.1", port_);
            server::PostResult r =
                client.Post("/selfIcUpdate/upadteCert", server::UpdateRequest(cards[i].record, requests[i]));
            answers[i] = Code(r) + " " + Msg(r);
            if (server::RunRenewal(client, cards[i], again[i])) {
                again[i] = "renewed on a full disk";
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int i = 0; i < kClients; ++i) {
        EXPECT_EQ(answers[i], "9 " + U8(u8"服务器保存数据失败，请稍后重试！"));
        EXPECT_NE(again[i].find("code 9"), std::string::npos) << again[i];
    }
    EXPECT_EQ(store_->IssueCount(), 0u);

    fs::remove(disk / "filler");
    for (server::SimCard& card : cards) {
        std::string error;
        EXPECT_TRUE(server::RunRenewal(*client_, card, error)) << error;
    }
    // What is on disk, read by a store opened afresh: exactly the renewals answered, each card's the set
    // it now holds.
    StopServer();
    server::SqliteStore reopened;
    std::string error;
    ASSERT_TRUE(reopened.Open(data_, error)) << error;
    EXPECT_EQ(reopened.IssueCount(), static_cast<std::size_t>(kClients));
    for (const server::SimCard& card : cards) {
        std::optional<server::CardState> state = reopened.FindCard(card.record.certSeqNo);
        ASSERT_TRUE(state && state->pending.size() == 1u);
        EXPECT_EQ(state->pending[0].certPem, card.record.certPem);
    }
}

TEST_F(StoreTest, TheProgramRefusesAPortInUse) {
    ServerProcess proc({"--port", std::to_string(port_), "--data", (folder_.path() / "proc").string()});
    EXPECT_EQ(proc.Wait(), 1);
    EXPECT_NE(proc.Stderr().find("cannot listen"), std::string::npos);
}

TEST_F(StoreTest, TheProgramRefusesBadOptionsAMissingStoreAndWarnsOfDemoSecrets) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--port", "70000"}, {"--port", "12x"}, {"--bogus", "1"}, {"--cert", "only-cert.pem"}}) {
        ServerProcess proc(args);
        EXPECT_EQ(proc.Wait(), 2) << args[0];
    }
    // A mistyped folder is an error, and stays absent (the listing only reads).
    const fs::path wrong = folder_.path() / "no-such-data";
    ServerProcess listing({"issues", "--data", wrong.string()});
    EXPECT_EQ(listing.Wait(), 1);
    EXPECT_NE(listing.Stderr().find("no store in " + wrong.string()), std::string::npos);
    EXPECT_FALSE(fs::exists(wrong));
    // An enrolment given no secrets takes the demo ones, and says so.
    unsetenv("RENVORA_ENROL_PIN");
    unsetenv("RENVORA_ENROL_MANAGE_PASSWORD");
    ServerProcess enrol({"enrol", "--data", (folder_.path() / "enrolled").string(), "--card-image",
                         (folder_.path() / "card.json").string()});
    EXPECT_EQ(enrol.Wait(), 0);
    std::string said = enrol.Stderr();
    EXPECT_NE(
        said.find("warning: no PIN given (--pin-file or RENVORA_ENROL_PIN): using the demo value 123456"),
        std::string::npos)
        << said;
    EXPECT_NE(said.find("warning: no management password given (--manage-password-file or "
                        "RENVORA_ENROL_MANAGE_PASSWORD): using the demo value 88888888"),
              std::string::npos)
        << said;
}

// The group-commit writer survives an operation that throws, and one after which SQLite ended the
// transaction by itself (as after a full disk or an I/O error): each caller gets its own true result,
// no later operation runs as a transaction of its own, and nobody waits for ever.
TEST_F(StoreTest, AFailingStoreOperationFailsWhatItMustAndStopsNobody) {
    server::SimCard card = Enrol("W1");
    const auto count = [&](const std::string& certSeqNo) {
        server::SqliteStore reader;
        std::string error;
        EXPECT_TRUE(reader.OpenReadOnly(data_, error)) << error;
        return reader.FindCard(certSeqNo) ? 1 : 0;
    };
    // Operations that share one batch: the first holds the writer until the others are queued.
    const auto batch = [&](std::vector<server::SqliteStore::Op> ops, std::vector<std::string>& errors) {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::vector<int> results(ops.size(), -1);
        errors.assign(ops.size(), "");
        std::thread holder([&] {
            std::string error;
            sqlite_->Write(
                [&](sqlite3*, std::string&) {
                    released.wait();
                    return true;
                },
                error);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::vector<std::thread> writers;
        for (std::size_t i = 0; i < ops.size(); ++i) {
            writers.emplace_back([&, i] { results[i] = sqlite_->Write(ops[i], errors[i]) ? 1 : 0; });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        release.set_value();
        holder.join();
        for (auto& t : writers) {
            t.join();
        }
        return results;
    };
    const auto insert = [](const char* certSeqNo) {
        return [certSeqNo](sqlite3* db, std::string& err) {
            std::string sql = std::string("INSERT INTO cards SELECT '") + certSeqNo +
                              "', legal_person, id_type, id_number, ic_code, ent_name, unit_type, ra_code, "
                              "crypt_algo, manage_password, cert_pem, enrolled_at, 1 FROM cards WHERE "
                              "cert_seq_no = 'W1'";
            char* message = nullptr;
            bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
            err = message ? message : "";
            sqlite3_free(message);
            return ok;
        };
    };
    std::vector<std::string> errors;
    // A throwing operation fails alone; the one beside it is committed.
    std::vector<int> results = batch(
        {[](sqlite3*, std::string&) -> bool { throw std::runtime_error("boom"); }, insert("W2")}, errors);
    EXPECT_EQ(results, (std::vector<int>{0, 1}));
    EXPECT_NE(errors[0].find("boom"), std::string::npos) << errors[0];
    EXPECT_EQ(count("W2"), 1);
    // The transaction ended under an operation: what the batch did is gone and reported so, and the
    // operations after it are not run on their own.
    results = batch({insert("W3"),
                     [](sqlite3* db, std::string&) {
                         return sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
                     },
                     insert("W4")},
                    errors);
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0}));
    EXPECT_NE(errors[2].find("ended the transaction"), std::string::npos) << errors[2];
    EXPECT_EQ(count("W3"), 0);
    EXPECT_EQ(count("W4"), 0);
    // The writer goes on as before, and the server serves.
    std::string error;
    EXPECT_TRUE(server::RunRenewal(*client_, card, error)) << error;
}

RENVORA_STORE_SUITE(StoreContractTest);

} // namespace
} // namespace rv::test
