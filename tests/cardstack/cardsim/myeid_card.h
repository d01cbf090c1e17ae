// An emulated MyEID card (the PKCS#15 card OpenSC's "myeid" driver and pkcs15-init profile write): its
// ISO 7816-4 file system, PIN records with retry counters, key files with on-card RSA-2048 and EC key
// generation, key import, signing and deciphering, answering command APDUs as the card's public interface
// and OpenSC's driver describe them. Its whole state lives in one file, saved after every command that
// changes it, so the card keeps what it held when it is pulled (the process killed) between two commands.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace cardsim {

using Bytes = std::vector<uint8_t>;

struct Options {
    std::string stateFile;
    // Bytes of EEPROM for files and keys; a write beyond it is refused with 6A84 (not enough memory).
    std::size_t capacity = 32 * 1024;
    bool refuseDeletes = false; // DELETE FILE answers 6985: a card that keeps what it once wrote
    std::string serial = "0000000001";
};

struct File {
    uint16_t fid = 0;
    uint8_t descriptor = 0x01; // 0x38 DF, 0x01 transparent EF, 0x11 RSA key, 0x22 EC key
    std::size_t size = 0;      // EF bytes; key files: the key's bits
    Bytes sec{0x00, 0x00, 0xFF};
    Bytes prop{0x00, 0x00};
    Bytes name; // DF name (AID)
    Bytes data; // EF contents
    Bytes key;  // key files: the private key, DER (PKCS#8)
    std::vector<std::unique_ptr<File>> children;
    File* parent = nullptr;

    bool IsDf() const { return descriptor == 0x38; }
    bool IsKey() const { return descriptor == 0x11 || descriptor == 0x22; }
};

struct Pin {
    Bytes pin, puk; // 8 bytes each, padded as written
    int maxTries = 3, tries = 3, pukMaxTries = 5, pukTries = 5;
};

class MyEidCard {
public:
    explicit MyEidCard(Options options);
    ~MyEidCard();

    // False when the state file exists but cannot be read.
    bool Load(std::string& error);
    Bytes Atr() const;
    // Power on or reset: the security state (verified PINs, security environment) is lost.
    void Reset();
    // One command APDU in, its response (data + SW1 SW2) out.
    Bytes Process(const Bytes& apdu);
    // The selected file's id (what an UPDATE BINARY writes).
    uint16_t SelectedFid() const { return current_ ? current_->fid : 0; }
    // EEPROM bytes the files and keys take.
    std::size_t UsedBytes() const { return Used(*mf_); }
    // Whether the command changes what the card stores (what a pull can cut between).
    static bool IsWrite(const Bytes& apdu);
    // A later part of rewriting a PKCS#15 directory file (UPDATE BINARY past its start): OpenSC rewrites a
    // whole directory in several commands, and no card commits them together.
    bool ContinuesDirectory(const Bytes& apdu) const;

private:
    struct Result;
    Bytes Dispatch(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data, std::size_t le);
    Bytes Select(uint8_t p1, uint8_t p2, const Bytes& data);
    Bytes ReadBinary(uint8_t p1, uint8_t p2, std::size_t le);
    Bytes UpdateBinary(uint8_t p1, uint8_t p2, const Bytes& data);
    Bytes CreateFile(const Bytes& data);
    Bytes DeleteFile();
    Bytes Verify(uint8_t ref, const Bytes& data);
    Bytes ChangeReference(uint8_t ref, const Bytes& data);
    Bytes GetData(uint8_t p1, uint8_t p2, std::size_t le);
    Bytes PutData(uint8_t p1, uint8_t p2, const Bytes& data);
    Bytes GenerateKey(const Bytes& data);
    Bytes ManageSecurityEnvironment(uint8_t p1, uint8_t p2, const Bytes& data);
    Bytes PerformSecurityOperation(uint8_t p1, uint8_t p2, const Bytes& data);
    Bytes GeneralAuthenticate(const Bytes& data);
    Bytes Activate();

    Bytes Fcp(const File& f) const;
    bool Allowed(uint8_t nibble) const;
    File* FindChild(File* dir, uint16_t fid) const;
    File* FindByName(File* dir, const Bytes& name) const;
    std::size_t Used(const File& f) const;
    std::size_t Cost(const File& f) const;
    bool Save();
    void Wipe();

    Options options_;
    std::unique_ptr<File> mf_;
    File* current_ = nullptr;
    std::map<int, Pin> pins_;
    uint8_t lifeCycle_ = 0x01; // 0x01 creation (no access rules), 0x05 operational
    std::map<int, bool> verified_;
    // Security environment: operation, algorithm reference and key file.
    uint8_t seOperation_ = 0, seAlgorithm_ = 0;
    uint16_t seKeyFid_ = 0;
    // Command chaining and the first half of a split cryptogram or modulus.
    Bytes chain_;
    uint8_t chainIns_ = 0;
    Bytes splitHalf_;
    Bytes pendingModulus_;
    std::map<uint8_t, Bytes> importParts_;
};

} // namespace cardsim
