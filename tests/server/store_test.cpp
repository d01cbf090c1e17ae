// What the server keeps: cards and issue records survive a restart and a crash in the middle of a
// write; the program itself starts, answers, refuses a busy port and stops on a signal.
#include "server_fixture.h"

#include "core/files.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

// A data folder made by the program, with one card "D1"; returns the card.
server::SimCard MakeDataFolder(const fs::path& data) {
    std::string error;
    server::SqliteStore store;
    EXPECT_TRUE(store.Open(data, error)) << error;
    std::unique_ptr<server::CertificateAuthority> ca = server::CertificateAuthority::Open(data, error);
    EXPECT_TRUE(ca) << error;
    server::SimCard card;
    EXPECT_TRUE(ca && server::EnrolSimCard(store, *ca, "D1", 30, card, error)) << error;
    return card;
}

// Writes garbage over the first bytes of the page that holds the root of `index` (its content in the
// database file itself: the WAL is copied back first). `db` is open on the store.
void DamageIndex(sqlite3* db, const fs::path& file, const char* index) {
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name = ?", -1, &s, nullptr),
              SQLITE_OK);
    sqlite3_bind_text(s, 1, index, -1, SQLITE_STATIC);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    const int root = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    ASSERT_GT(root, 1);
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(root - 1) * 4096);
    const std::string junk(64, '\x7f');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
}

// The store never starts empty in place of the one it had: a data folder with a CA whose store was
// truncated to nothing, deleted, or has a damaged index is refused at start with the reason, and so is
// an enrolment into it. Damage met while serving makes a lookup a server fault (code 9, with a log line),
// never "not enrolled". (The earlier server started empty and told every holder "未找到该IC卡的登记信息！".)
TEST_F(StoreTest, ADamagedOrMissingStoreIsRefusedAtStartAndNeverTakenForAnEmptyOne) {
    const auto start = [&](const fs::path& data) {
        ServerProcess proc({"--port", "0", "--data", data.string()});
        int status = proc.Wait();
        return std::to_string(status) + " " + proc.Stderr();
    };
    const fs::path truncated = folder_.path() / "truncated", deleted = folder_.path() / "deleted",
                   damaged = folder_.path() / "damaged";
    for (const fs::path& d : {truncated, deleted, damaged}) {
        MakeDataFolder(d);
    }
    for (const char* f : {"store.db-wal", "store.db-shm"}) {
        fs::remove(truncated / f);
        fs::remove(deleted / f);
    }
    fs::resize_file(truncated / "store.db", 0);
    fs::remove(deleted / "store.db");
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((damaged / "store.db").c_str(), &db), SQLITE_OK);
        DamageIndex(db, damaged / "store.db", "sqlite_autoindex_cards_1");
        sqlite3_close(db);
    }
    const std::string said = start(truncated);
    EXPECT_EQ(said.rfind("1 renvora-server: the data folder " + truncated.string() +
                             " holds a certificate authority but no store: " +
                             (truncated / "store.db").string() + " is empty.",
                         0),
              0u)
        << said;
    EXPECT_NE(said.find("Restore it from a backup"), std::string::npos) << said;
    EXPECT_EQ(start(deleted).rfind("1 renvora-server: the data folder " + deleted.string() +
                                       " holds a certificate authority but no store: " +
                                       (deleted / "store.db").string() + " is missing.",
                                   0),
              0u);
    EXPECT_FALSE(fs::exists(deleted / "store.db"));
    ServerProcess enrol(
        {"enrol", "--data", deleted.string(), "--card-image", (folder_.path() / "c.json").string()});
    EXPECT_EQ(enrol.Wait(), 1);
    EXPECT_NE(enrol.Stderr().find("holds a certificate authority but no store"), std::string::npos);
    const std::string damage = start(damaged);
    EXPECT_EQ(damage.rfind("1 renvora-server: the store " + (damaged / "store.db").string() +
                               " is damaged (quick_check: ",
                           0),
              0u)
        << damage;
    EXPECT_NE(damage.find(".recover"), std::string::npos) << damage;

    // The same damage while the server runs, in a folder that was whole when it started.
    const fs::path live = folder_.path() / "live";
    server::SimCard card = MakeDataFolder(live);
    const fs::path log = folder_.path() / "live.log";
    ServerProcess proc({"--port", "0", "--data", live.string()}, log.string());
    int port = PortOf(proc.FirstLine());
    ASSERT_GT(port, 0);
    server::ProtocolClient client("127.0.0.1", port);
    std::string error;
    ASSERT_TRUE(server::RunRenewal(client, card, error)) << error;
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((live / "store.db").c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 10000);
        DamageIndex(db, live / "store.db", "sqlite_autoindex_cards_1");
        // A change through the database, so that the server reads its pages afresh.
        ASSERT_EQ(
            sqlite3_exec(db, "INSERT INTO meta(key, value) VALUES('poke', 1)", nullptr, nullptr, nullptr),
            SQLITE_OK);
        sqlite3_close(db);
    }
    EXPECT_FALSE(server::RunRenewal(client, card, error));
    EXPECT_EQ(error, "verifyInfo: code 9 " + U8(u8"服务器内部错误，请稍后重试！"));
    proc.Signal(SIGTERM);
    EXPECT_EQ(proc.Wait(), 0);
    std::string text;
    ASSERT_TRUE(server::ReadWholeFile(log, text, error));
    EXPECT_NE(text.find("POST /selfIcUpdate/verifyInfo 200 code=9 "), std::string::npos) << text;
    EXPECT_NE(text.find("cannot look up card D1: cannot read the card: database disk image is malformed"),
              std::string::npos)
        << text;
}

// The WAL is copied back into the database and cut short as the store goes, so that on a small volume it
// never fills the disk by itself. (The earlier server let it grow to 2.5 MB on a 3 MB volume, the
// database itself still one page, and failed after about a hundred renewals.)
TEST_F(StoreTest, OnASmallVolumeTheJournalNeverFillsTheDisk) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root (CI runs as root)";
    }
    const fs::path disk = folder_.path() / "small";
    fs::create_directories(disk);
    ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=4m"), 0) << std::strerror(errno);
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{disk};
    StopServer();
    data_ = disk / "data";
    StartServer();
    server::SimCard card = Enrol("J1");
    std::string error;
    int renewed = 0;
    while (renewed < 250 && server::RunRenewal(*client_, card, error)) {
        ++renewed;
    }
    EXPECT_EQ(renewed, 250) << error;
    EXPECT_LT(fs::file_size(data_ / "store.db-wal"), std::uintmax_t{1400} * 1024);
}

// A store of the earlier versions is upgraded on the first start: a set confirmed by a verification alone
// (version 2) is pending again, issued from the set it had replaced, which is confirmed again; a card's
// one pending set is issued from its confirmed certificate. Each card then renews with whichever set it
// holds.
TEST_F(StoreTest, AStoreOfTheEarlierVersionIsUpgraded) {
    server::SimCard x = Enrol("X1"), y = Enrol("Y1");
    std::string error;
    ASSERT_TRUE(server::RunRenewal(*client_, x, error)) << error; // S1
    server::SimCard xBefore;                                      // the card holding S1
    xBefore.record = x.record;
    xBefore.key.reset(EVP_PKEY_dup(x.key.get()));
    ASSERT_TRUE(server::RunRenewal(*client_, x, error)) << error; // S2; S1 confirmed
    ASSERT_TRUE(server::RunRenewal(*client_, y, error)) << error; // P1
    std::vector<server::IssueRecord> issues = store_->Issues();
    const std::string s1 = issues[0].serial, s2 = issues[1].serial;
    StopServer();
    // As version 2 kept it: S2 confirmed by a verification alone, S1 waiting for its key.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((data_ / "store.db").c_str(), &db), SQLITE_OK);
        const std::string sql =
            "DROP TRIGGER pending_sets_come_from_the_confirmed_one; DROP TRIGGER sets_move_forward; "
            "DROP TRIGGER confirmed_once_its_siblings_are_gone; DROP INDEX issues_by_serial; "
            "DROP TABLE verifications; DROP TABLE verify_failures; "
            "ALTER TABLE issues ADD COLUMN provisional INTEGER NOT NULL DEFAULT 0; "
            "ALTER TABLE issues ADD COLUMN predecessor TEXT NOT NULL DEFAULT ''; "
            "ALTER TABLE issues DROP COLUMN parent; "
            "UPDATE issues SET state = 'superseded', reason = 'replaced by the set " +
            s2 + ", so far confirmed by a verification only' WHERE serial = '" + s1 +
            "'; "
            "UPDATE issues SET state = 'confirmed', provisional = 1, predecessor = '" +
            s1 + "' WHERE serial = '" + s2 +
            "'; "
            "CREATE UNIQUE INDEX one_pending_set ON issues(cert_seq_no) WHERE state = 'pending'; "
            "PRAGMA user_version = 2;";
        char* message = nullptr;
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << message;
        sqlite3_close(db);
    }
    StartServer();
    using S = server::SetState;
    EXPECT_EQ(States(*store_), (std::vector<S>{S::Confirmed, S::Pending, S::Pending}));
    issues = store_->Issues();
    EXPECT_EQ(issues[0].reason, "");
    EXPECT_EQ(issues[1].parent, s1);
    EXPECT_EQ(issues[2].parent, "");
    // The card that holds S1 (its last answer lost) and the one that holds S2 both renew; then the
    // database's own rules hold: one confirmed set, the pending ones issued from it.
    ASSERT_TRUE(server::RunRenewal(*client_, xBefore, error)) << error;
    ASSERT_TRUE(server::RunRenewal(*client_, x, error)) << error;
    ASSERT_TRUE(server::RunRenewal(*client_, y, error)) << error;
    std::optional<server::CardState> state = store_->FindCard("X1");
    ASSERT_TRUE(state && state->confirmed);
    EXPECT_EQ(state->confirmed->serial, s2);
    ASSERT_EQ(state->pending.size(), 1u);
    EXPECT_EQ(state->pending[0].certPem, x.record.certPem);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((data_ / "store.db").c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 10000);
    const std::string twoConfirmed = "UPDATE issues SET state = 'confirmed' WHERE serial = '" + s1 + "'";
    EXPECT_NE(sqlite3_exec(db, twoConfirmed.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    const std::string backwards = "UPDATE issues SET state = 'pending' WHERE serial = '" + s2 + "'";
    EXPECT_NE(sqlite3_exec(db, backwards.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_NE(std::string(sqlite3_errmsg(db)).find("only moves forward"), std::string::npos);
    sqlite3_close(db);
}

// Secrets that other users could read are refused with the reason: a PIN or management password file,
// the CA's key. Everything the program makes is its owner's alone whatever the umask: under umask 000 the
// data folder and the card image's new folder are 0700, new folders above them 0755, every file 0600.
// (The earlier program took a PIN file readable by everybody silently, and under umask 000 made the card
// image's folder 0777.)
TEST_F(StoreTest, SecretsOthersCanReadAreRefusedAndWhatTheProgramMakesIsPrivateWhateverTheUmask) {
    const fs::path top = folder_.path() / "u";
    const fs::path pin = folder_.path() / "pin.txt", password = folder_.path() / "password.txt";
    std::ofstream(pin) << "135790\n";
    std::ofstream(password) << "24680135\n";
    const std::vector<std::string> enrol = {"enrol",
                                            "--data",
                                            (top / "srv" / "data").string(),
                                            "--card-image",
                                            (top / "cards" / "card.json").string(),
                                            "--pin-file",
                                            pin.string(),
                                            "--manage-password-file",
                                            password.string()};
    fs::permissions(pin, fs::perms(0644));
    fs::permissions(password, fs::perms(0600));
    ServerProcess open(enrol);
    EXPECT_EQ(open.Wait(), 2);
    EXPECT_NE(open.Stderr().find(pin.string() + " has mode 0644: its group or other users can read it"),
              std::string::npos);
    fs::permissions(pin, fs::perms(0600));
    fs::permissions(password, fs::perms(0640));
    ServerProcess group(enrol);
    EXPECT_EQ(group.Wait(), 2);
    EXPECT_NE(group.Stderr().find(password.string() + " has mode 0640"), std::string::npos);
    EXPECT_FALSE(fs::exists(top));
    fs::permissions(password, fs::perms(0600));

    ServerProcess made(enrol, "", ProcessSetup{0, -1});
    ASSERT_EQ(made.Wait(), 0) << made.Stderr();
    const fs::path data = top / "srv" / "data";
    ServerProcess proc({"--port", "0", "--data", data.string(), "--quiet"}, "", ProcessSetup{0, -1});
    int port = PortOf(proc.FirstLine());
    ASSERT_GT(port, 0);
    EXPECT_EQ(Code(server::ProtocolClient("127.0.0.1", port).Post("/selfIcUpdate/getRandom", "")), "0");
    const auto mode = [](const fs::path& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0u;
    };
    EXPECT_EQ(mode(top), 0755u);
    EXPECT_EQ(mode(top / "srv"), 0755u);
    EXPECT_EQ(mode(data), 0700u);
    EXPECT_EQ(mode(top / "cards"), 0700u);
    EXPECT_EQ(mode(top / "cards" / "card.json"), 0600u);
    for (const char* f :
         {"ca.key", "ca.crt", "kms.key", "css-env.key", "store.db", "store.db-wal", "store.db-shm"}) {
        EXPECT_EQ(mode(data / f), 0600u) << f;
    }
    proc.Signal(SIGTERM);
    EXPECT_EQ(proc.Wait(), 0);
    fs::permissions(data / "ca.key", fs::perms(0644));
    ServerProcess refused({"--port", "0", "--data", data.string()});
    EXPECT_EQ(refused.Wait(), 1);
    EXPECT_NE(refused.Stderr().find((data / "ca.key").string() + " has mode 0644"), std::string::npos);
}

// Past the grace period the certificate a card renewed from is refused with a log line that names the
// card, the set issued from it, when its grace ended and what the operator can do. Once the operator has
// seen that the card holds none of the sets (every answer lost), `withdraw` lets it renew again. The
// program does it all on either store, given the options an operator gives it.
TEST_P(StoreContractTest, AnOperatorLetsACardWhoseAnswersWereAllLostRenewAgain) {
    server::SimCard card = Enrol("D1");
    StopServer(); // the program serves this data now
    const auto with = [this](std::vector<std::string> args) {
        const std::vector<std::string> store = StoreArgs();
        args.insert(args.begin() + 1, store.begin(), store.end());
        return args;
    };
    const fs::path log = folder_.path() / "op.log";
    // No grace at all here: the moment a set is issued, the certificate it came from renews no more.
    ServerProcess proc(with({"serve", "--port", "0", "--grace-days", "0"}), log.string());
    int port = PortOf(proc.FirstLine());
    ASSERT_GT(port, 0);
    server::ProtocolClient client("127.0.0.1", port);
    server::SimCard answered; // the renewal whose answer the card never got
    answered.record = card.record;
    answered.key.reset(EVP_PKEY_dup(card.key.get()));
    std::string error;
    ASSERT_TRUE(server::RunRenewal(client, answered, error)) << error;
    EXPECT_FALSE(server::RunRenewal(client, card, error));
    EXPECT_NE(error.find("verifyInfo: code 16 "), std::string::npos) << error;
    const std::string lost = server::CertSerialHex(answered.record.certPem);
    ServerProcess withdraw(with({"withdraw", "--cert-seq-no", "D1"}));
    EXPECT_EQ(withdraw.Stdout(),
              "card D1: 1 pending set withdrawn; it renews again with its enrolled certificate\n");
    EXPECT_EQ(withdraw.Wait(), 0);
    EXPECT_TRUE(server::RunRenewal(client, card, error)) << error;
    proc.Signal(SIGTERM);
    EXPECT_EQ(proc.Wait(), 0);
    std::string text;
    ASSERT_TRUE(server::ReadWholeFile(log, text, error));
    EXPECT_NE(text.find("POST /selfIcUpdate/verifyInfo 200 code=16 "), std::string::npos) << text;
    EXPECT_NE(text.find("card D1: renewal with the enrolled certificate refused: the set " + lost +
                        " was issued from it at "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("if the card still holds it (every answer since was lost), `renvora-server withdraw "
                        "--cert-seq-no D1` lets it renew again"),
              std::string::npos)
        << text;
    ServerProcess listing(with({"issues"}));
    const std::string listed = listing.Stdout();
    EXPECT_NE(listed.find("serial " + lost), std::string::npos);
    EXPECT_NE(listed.find("superseded since"), std::string::npos) << listed;
    EXPECT_NE(listed.find(": withdrawn by the operator: the card never installed it"), std::string::npos)
        << listed;
    EXPECT_NE(listed.find("pending (issued from the enrolled certificate) since"), std::string::npos)
        << listed;
}

RENVORA_STORE_SUITE(StoreContractTest);

} // namespace
} // namespace rv::test
