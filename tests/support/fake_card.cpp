#include "support/fake_card.h"

#include "card/dispids.h"

#include <algorithm>

namespace rv::test {

FakeCard::FakeCard() {
    dispatch_.vtbl = &kVtbl;
    dispatch_.owner = this;
}

void FakeCard::QueueResult(int dispid, int32_t status, const std::string& error) {
    queued_[dispid].push_back({status, error});
}

void FakeCard::SetDefaultResult(int dispid, int32_t status, const std::string& error) {
    defaults_[dispid] = {status, error};
}

int FakeCard::CountMethod(int dispid) const {
    std::string tag = "M" + std::to_string(dispid);
    return static_cast<int>(std::count(calls_.begin(), calls_.end(), tag));
}

std::string FakeCard::LastSet(int dispid) const {
    auto it = lastSet_.find(dispid);
    return it == lastSet_.end() ? std::string() : it->second;
}

std::vector<int> FakeCard::SetOrder() const {
    std::vector<int> out;
    for (const auto& c : calls_) {
        if (!c.empty() && c[0] == 'S') {
            out.push_back(std::stoi(c.substr(1, c.find('=') - 1)));
        }
    }
    return out;
}

int FakeCard::Invoke(RvDispatch* self, int dispid) {
    FakeCard* f = static_cast<Disp*>(self)->owner;
    f->calls_.push_back("M" + std::to_string(dispid));
    Result r{0, ""};
    if (auto q = f->queued_.find(dispid); q != f->queued_.end() && !q->second.empty()) {
        r = q->second.front();
        q->second.pop_front();
    } else if (auto d = f->defaults_.find(dispid); d != f->defaults_.end()) {
        r = d->second;
    }
    f->status_ = r.status;
    f->error_ = r.error;
    if (auto a = f->actions_.find(dispid); a != f->actions_.end() && a->second) {
        a->second();
    }
    return RV_DISP_OK;
}

int FakeCard::GetInt(RvDispatch* self, int dispid, int32_t* value) {
    FakeCard* f = static_cast<Disp*>(self)->owner;
    f->calls_.push_back("G" + std::to_string(dispid));
    if (dispid != dispid::Status) {
        return RV_DISP_UNKNOWN_MEMBER;
    }
    *value = f->status_;
    return RV_DISP_OK;
}

int FakeCard::GetString(RvDispatch* self, int dispid, const char** data, size_t* length) {
    FakeCard* f = static_cast<Disp*>(self)->owner;
    f->calls_.push_back("G" + std::to_string(dispid));
    if (dispid == dispid::ErrorMessage) {
        f->scratch_ = f->error_;
    } else {
        auto it = f->strings_.find(dispid);
        f->scratch_ = it == f->strings_.end() ? std::string() : it->second;
    }
    *data = f->scratch_.c_str();
    *length = f->scratch_.size();
    return RV_DISP_OK;
}

int FakeCard::SetStringFn(RvDispatch* self, int dispid, const char* data, size_t length) {
    FakeCard* f = static_cast<Disp*>(self)->owner;
    std::string v(data, length);
    f->calls_.push_back("S" + std::to_string(dispid) + "=" + v);
    f->lastSet_[dispid] = v;
    return RV_DISP_OK;
}

void FakeCard::Release(RvDispatch* self) {
    static_cast<Disp*>(self)->owner->released = true;
}

const RvDispatchVtbl FakeCard::kVtbl = {&FakeCard::Invoke, &FakeCard::GetInt, &FakeCard::GetString,
                                        &FakeCard::SetStringFn, &FakeCard::Release};

} // namespace rv::test
