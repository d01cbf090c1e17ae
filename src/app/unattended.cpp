#include "app/unattended.h"

#include "app/CRenvoraApp.h"
#include "card/dispids.h"
#include "platform/atomic_file.h"
#include "platform/codepage.h"
#include "platform/message_box.h"
#include "platform/qt/call_thread.h"
#include "platform/qt/message_box_qt.h"
#include "platform/qt/template_dialog.h"
#include "platform/qt/text.h"
#include "res/resource_ids.h"
#include "ui/CRenvoraDlg.h"
#include "ui/UpdateSuccessDialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPixmap>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace rv {
namespace {

namespace fs = std::filesystem;

std::string Utf8Of(const QString& s) {
    return s.toUtf8().toStdString();
}

// Ends the process when the run takes longer than it may: nothing in a demo may hang forever.
class Watchdog {
public:
    explicit Watchdog(int seconds) {
        thread_ = std::thread([this, seconds] {
            std::unique_lock lock(mu_);
            if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
                std::fprintf(stderr, "unattended: no end after %d s, giving up\n", seconds);
                std::fflush(stdout);
                ::_exit(3);
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mu_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// Grabs notice windows as they are shown (they are modeless, so no modal hook sees them).
class NoticeCatcher : public QObject {
public:
    explicit NoticeCatcher(std::function<void(QWidget&)> onShow) : onShow_(std::move(onShow)) {}

protected:
    bool eventFilter(QObject* obj, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            auto* d = qobject_cast<qt::TemplateDialog*>(obj);
            if (d != nullptr && d->TemplateId() == res::kNoticeDialog) {
                onShow_(*d);
            }
        }
        return false;
    }

private:
    std::function<void(QWidget&)> onShow_;
};

// The client's CPU: the user interface thread's and the call thread's, where the card and the server
// calls run.
double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6 +
           qt::CallThread::CpuMs();
}

} // namespace

UnattendedResult RunUnattended(CRenvoraApp& app, const UnattendedOptions& options) {
    UnattendedResult result;
    auto print = [&](const std::string& line) {
        if (options.print) {
            options.print(line);
        } else {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
    };
    // The pictures show the card holder's data: the folder and the files are the user's alone.
    std::string why;
    if (options.screenshots && !MakeFolders(options.shotsDir, 0700, why)) {
        result.failure = "cannot create " + options.shotsDir.string() + ": " + why;
        return result;
    }
    int shotNo = 0;
    auto shot = [&](QWidget& w, const std::string& name) {
        if (!options.screenshots) {
            return;
        }
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%02d-", ++shotNo);
        fs::path file = options.shotsDir / (prefix + name + ".png");
        QByteArray png;
        QBuffer buffer(&png);
        std::string error;
        if (buffer.open(QIODevice::WriteOnly) && w.grab().save(&buffer, "PNG") &&
            WriteFileWithMode(file, png.toStdString(), 0600, error)) {
            result.shots.push_back(file);
        } else {
            print("unattended: could not save " + file.string() + (error.empty() ? "" : ": " + error));
        }
    };

    Watchdog watchdog(options.timeoutSeconds);
    NoticeCatcher notices([&](QWidget& w) { shot(w, "notice"); });
    qApp->installEventFilter(&notices);

    qt::QtMessageBox boxes;
    MessageBoxGuard boxGuard(boxes);
    auto prevBoxHook = qt::QtMessageBox::SetHook([&](QMessageBox& box) {
        std::string text = Utf8Of(box.text());
        result.messages.push_back(text);
        print("[message] " + text);
        shot(box, "message");
        // Yes to every question, OK to every notice.
        for (QAbstractButton* b : box.buttons()) {
            QMessageBox::ButtonRole role = box.buttonRole(b);
            if (role == QMessageBox::YesRole || role == QMessageBox::AcceptRole) {
                b->click();
                return;
            }
        }
    });

    int logins = 0;
    auto prevModalHook = qt::TemplateDialog::SetModalHook([&](qt::TemplateDialog& d) {
        switch (d.TemplateId()) {
        case res::kLoginDialog: {
            if (++logins > 2) {
                print("unattended: the login dialog came back again; giving up");
                d.EndDialog(130);
                return;
            }
            QWidget* edit = d.GetDlgItem(res::kPasswordEdit);
            if (edit == nullptr) {
                d.EndDialog(130);
                return;
            }
            edit->setFocus();
            for (char c : options.pin) {
                QString ch(QChar::fromLatin1(c));
                int key = ch.toUpper().at(0).unicode(); // Qt's key codes are the upper-case ASCII codes
                QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, ch);
                QApplication::sendEvent(edit, &press);
                QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, ch);
                QApplication::sendEvent(edit, &release);
            }
            print("[login] PIN typed");
            shot(d, "login");
            d.SendCommand(res::kLoginButton);
            if (!d.IsEnded()) {
                d.EndDialog(130);
            }
            return;
        }
        case res::kMainDialog: {
            // As a person sees it before pressing anything: mapped and painted.
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            shot(d, "main-window");
            QWidget* button = d.GetDlgItem(res::kRenewalButton);
            result.renewalEnabled = button != nullptr && button->isEnabled();
            if (result.renewalEnabled) {
                print("[main] pressing the renewal button");
                result.renewalPressed = true;
                const double cpu0 = ThreadCpuMs();
                const auto t0 = std::chrono::steady_clock::now();
                d.SendCommand(res::kRenewalButton);
                result.renewalWallMs =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
                result.renewalCpuMs = ThreadCpuMs() - cpu0;
                char took[96];
                std::snprintf(took, sizeof took, "[main] the renewal took %.1f ms (%.1f ms CPU)",
                              result.renewalWallMs, result.renewalCpuMs);
                print(took);
                if (auto* main = dynamic_cast<CRenvoraDlg*>(&d)) {
                    result.endDate = main->Model().data.validTo;
                }
                shot(d, "main-window-after-renewal");
            } else {
                print("[main] the renewal button is disabled");
            }
            print("[main] leaving by the exit button");
            d.SendCommand(res::kExitButton);
            if (!d.IsEnded()) {
                d.EndDialog(2);
            }
            return;
        }
        case res::kSuccessDialog: {
            if (auto* s = dynamic_cast<UpdateSuccessDialog*>(&d)) {
                result.successMessage = cp::GbkToUtf8(s->Message());
                print("[success dialog] " + result.successMessage);
            }
            shot(d, "success-dialog");
            d.EndDialog(1);
            return;
        }
        default:
            shot(d, "dialog-" + std::to_string(d.TemplateId()));
            d.EndDialog(2);
            return;
        }
    });

    app.InitInstance();

    qt::TemplateDialog::SetModalHook(std::move(prevModalHook));
    qt::QtMessageBox::SetHook(std::move(prevBoxHook));
    qApp->removeEventFilter(&notices);

    // The client's own verdict: what it told the user. Whether the card really holds a new certificate
    // is for the card's tools to say (scripts/run asks the software card's).
    const bool renewed = std::find(result.messages.begin(), result.messages.end(),
                                   Utf8Of(qt::Q(kMsgRenewed))) != result.messages.end();
    if (!result.renewalPressed) {
        result.failure = "the renewal was not started";
        return result;
    }
    if (!renewed || result.successMessage.empty()) {
        result.failure = "the renewal did not end in success";
        return result;
    }
    print("[card] the card reads back a certificate valid to " + result.endDate);
    result.exitCode = 0;
    return result;
}

} // namespace rv
