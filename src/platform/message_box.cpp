#include "platform/message_box.h"

#include "platform/codepage.h"

#include <cstdio>

namespace rv {

const char* const kAppTitle = "提示信息";

namespace {

class StderrMessageBox : public IMessageBox {
public:
    int Show(const std::string& text, MbKind kind) override {
        std::fprintf(stderr, "[%s] %s\n", cp::GbkToUtf8(kAppTitle).c_str(), cp::GbkToUtf8(text).c_str());
        return kind == MbKind::Ok ? IDOK : IDYES;
    }
};

StderrMessageBox g_fallback;
IMessageBox* g_current = nullptr;

} // namespace

IMessageBox& MessageBoxes() {
    return g_current ? *g_current : g_fallback;
}

IMessageBox* InstallMessageBox(IMessageBox* box) {
    IMessageBox* prev = g_current;
    g_current = box;
    return prev;
}

int ShowNotice(const std::string& text) {
    return MessageBoxes().Show(text, MbKind::Ok);
}

int AskYesNo(const std::string& text) {
    return MessageBoxes().Show(text, MbKind::YesNo);
}

int ScriptedMessageBox::Show(const std::string& text, MbKind kind) {
    if (beforeAnswer) {
        beforeAnswer(text, kind);
    }
    int answer = IDOK;
    if (kind == MbKind::YesNo) {
        answer = next_ < answers_.size() ? answers_[next_++] : defaultAnswer_;
    }
    entries_.push_back({text, kind, answer});
    if (onShow) {
        onShow(entries_.back());
    }
    return answer;
}

void ScriptedMessageBox::QueueAnswers(const std::vector<int>& answers) {
    for (int a : answers) {
        answers_.push_back(a);
    }
}

std::vector<std::string> ScriptedMessageBox::TextsUtf8() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) {
        out.push_back(cp::GbkToUtf8(e.text));
    }
    return out;
}

} // namespace rv
