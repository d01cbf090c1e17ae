// Fault injection for the software card: a small JSON file beside the inserted card image
// ("<image>.faults") that tests and demos edit to walk the client's failure paths. The control reads it
// on every call; consumed failure counts are written back atomically.
//
// Format (every member optional; texts UTF-8):
//   {
//     "methods": {
//       "SignData":  {"fail": 2, "status": -1, "message": "签名设备故障"},   // fail the next 2 calls
//       "WriteCard": {"fail": -1, "status": -1},                          // fail every call until cleared
//       "InitUpdate": {"delayMs": 1500}                                    // answer 1.5 s later
//     },
//     "swapImage": "other-card.json",   // the card now in the reader (relative to the image's folder)
//     "saveDelayMs": 0                  // pause inside every image save, between write and rename
//   }
// Names are the control's methods (OpenCard, CloseCard, ReadCardInfo, VerifyPassword, SignData,
// InitUpdate, WriteCard, ReadCryptAlgo) and its output properties (CardInfo, Signature, PublicKey,
// CryptAlgo), whose read then fails with the given status.
#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace rv::softcard {

// Upper bound of any injected delay, so a typo cannot hang a test run.
inline constexpr int kMaxFaultDelayMs = 120'000;
inline constexpr int kDefaultFaultStatus = -1;

struct MethodFault {
    int fail = 0; // calls still to fail; -1 = every call
    int status = kDefaultFaultStatus;
    std::string message; // UTF-8; empty = the control's generic fault text
    int delayMs = 0;
};

struct FaultPlan {
    std::map<std::string, MethodFault> methods;
    std::string swapImage;
    int saveDelayMs = 0;

    bool Empty() const { return methods.empty() && swapImage.empty() && saveDelayMs == 0; }
};

// "<image>.faults".
std::filesystem::path FaultFileFor(const std::filesystem::path& image);

// Reads the plan; a missing file is an empty plan. False with a reason (GBK) when the file is not a
// valid plan; `out` is then empty.
bool LoadFaultPlan(const std::filesystem::path& faultFile, FaultPlan& out, std::string& error);
// Writes the plan atomically; an empty plan removes the file.
bool SaveFaultPlan(const std::filesystem::path& faultFile, const FaultPlan& plan, std::string& error);

std::string FaultPlanToJson(const FaultPlan& plan);
bool FaultPlanFromJson(const std::string& json, FaultPlan& out, std::string& error);

// The fault to apply now to `name`, if any, with its count consumed in `plan` (true = a failure fires).
// `changed` tells whether the plan must be written back.
bool TakeFailure(FaultPlan& plan, const std::string& name, MethodFault& fired, bool& changed);

} // namespace rv::softcard
