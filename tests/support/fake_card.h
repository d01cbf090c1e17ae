// A card control double behind the real dispatch interface, for unit tests of the client's card
// sequences. Every method succeeds (Status 0) unless a result was queued for it; string properties
// answer what the test put in; every call is recorded in order.
#pragma once

#include "card/dispatch.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace rv::test {

class FakeCard {
public:
    struct Result {
        int32_t status;
        std::string error; // GBK
    };

    FakeCard();
    // The dispatch object to hand to CDCertUpdate::Attach. The wrapper releases it; the FakeCard must
    // outlive the wrapper.
    RvDispatch* Dispatch() { return &dispatch_; }

    // The next call of method `dispid` ends with this status and error text (FIFO per method).
    void QueueResult(int dispid, int32_t status, const std::string& error = "");
    // Every later call of `dispid` (after the queue is empty) ends with this result.
    void SetDefaultResult(int dispid, int32_t status, const std::string& error = "");
    // String property values the control answers (CardInfo, Signature, PublicKey, CryptAlgo ...).
    void SetString(int dispid, const std::string& value) { strings_[dispid] = value; }
    // Runs after method `dispid` has set its status (for example to change PublicKey per call).
    void OnMethod(int dispid, std::function<void()> action) { actions_[dispid] = std::move(action); }

    // "M<dispid>" for a method, "G<dispid>" for a get, "S<dispid>=<value>" for a set, in call order.
    const std::vector<std::string>& Calls() const { return calls_; }
    int CountMethod(int dispid) const;
    // The last value set on a string property ("" when never set).
    std::string LastSet(int dispid) const;
    // Sets of the given DISPIDs in the order they happened.
    std::vector<int> SetOrder() const;
    bool released = false;

private:
    struct Disp : RvDispatch {
        FakeCard* owner;
    };
    static int Invoke(RvDispatch* self, int dispid);
    static int GetInt(RvDispatch* self, int dispid, int32_t* value);
    static int GetString(RvDispatch* self, int dispid, const char** data, size_t* length);
    static int SetStringFn(RvDispatch* self, int dispid, const char* data, size_t length);
    static void Release(RvDispatch* self);
    static const RvDispatchVtbl kVtbl;

    Disp dispatch_;
    std::map<int, std::deque<Result>> queued_;
    std::map<int, Result> defaults_;
    std::map<int, std::string> strings_;
    std::map<int, std::string> lastSet_;
    std::map<int, std::function<void()>> actions_;
    std::vector<std::string> calls_;
    int32_t status_ = 0;
    std::string error_;
    std::string scratch_;
};

} // namespace rv::test
