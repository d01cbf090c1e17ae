#include "app/unattended.h"

#include "app/CRenvoraApp.h"
#include "card/dispids.h"
#include "core/card_image.h"
#include "platform/codepage.h"
#include "platform/message_box.h"
#include "platform/qt/message_box_qt.h"
#include "platform/qt/template_dialog.h"
#include "platform/registry.h"
#include "res/resource_ids.h"
#include "ui/UpdateSuccessDialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPixmap>

#include <openssl/pem.h>
#include <openssl/x509.h>

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

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct CertPtr {
    X509* p = nullptr;
    explicit CertPtr(const std::string& pem) {
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        p = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(bio);
    }
    ~CertPtr() { X509_free(p); }
};

// True when `certPem` is signed by the certificate in `caFile`.
bool IssuedBy(const std::string& certPem, const fs::path& caFile, std::string& why) {
    std::FILE* f = std::fopen(caFile.c_str(), "r");
    X509* ca = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) {
        std::fclose(f);
    }
    CertPtr cert(certPem);
    bool ok = ca && cert.p && X509_verify(cert.p, X509_get0_pubkey(ca)) == 1 &&
              X509_NAME_cmp(X509_get_issuer_name(cert.p), X509_get_subject_name(ca)) == 0;
    if (!ok) {
        why = ca ? "the card's certificate is not issued by " + caFile.string()
                 : "cannot read " + caFile.string();
    }
    X509_free(ca);
    return ok;
}

} // namespace

fs::path InsertedCardImage() {
    if (const char* env = std::getenv("RENVORA_CARD_IMAGE"); env && *env) {
        return env;
    }
    auto value = reg::ReadValue(std::string("CLSID\\") + kCardControlClsid, "CardImage");
    return value ? fs::path(*value) : fs::path();
}

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
    std::error_code ec;
    if (options.screenshots) {
        fs::create_directories(options.shotsDir, ec);
    }
    if (ec) {
        result.failure = "cannot create " + options.shotsDir.string() + ": " + ec.message();
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
        if (w.grab().save(QString::fromStdString(file.string()), "PNG")) {
            result.shots.push_back(file);
        } else {
            print("unattended: could not save " + file.string());
        }
    };

    // The card before the run, to tell a new certificate from the old one. Only a software card can be
    // looked into here; any other card control is judged by what the client showed, and its card is
    // checked with that card's own tools (scripts/run does so for a token).
    fs::path image = InsertedCardImage();
    softcard::CardImage before;
    std::string error;
    if (!image.empty() && !softcard::LoadCardImage(image, before, error)) {
        result.failure = error;
        return result;
    }
    result.oldCertPem = before.signCertPem;

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

    if (image.empty()) {
        const std::string success = reinterpret_cast<const char*>(u8"延期成功！"); // messages are UTF-8
        bool renewed =
            std::find(result.messages.begin(), result.messages.end(), success) != result.messages.end();
        if (!renewed || result.successMessage.empty()) {
            result.failure =
                result.renewalPressed ? "the client did not report a renewal" : "the renewal was not started";
            return result;
        }
        print("[card] the client reports the renewal; the card is not a software card, so it is checked with "
              "its own tools");
        result.exitCode = 0;
        return result;
    }
    // The verdict comes from the card itself.
    softcard::CardImage after;
    if (!softcard::LoadCardImage(image, after, error)) {
        result.failure = "cannot read the card image afterwards: " + error;
        return result;
    }
    result.newCertPem = after.signCertPem;
    if (after.signCertPem == before.signCertPem) {
        result.failure = result.renewalPressed ? "the card still holds its old certificate"
                                               : "the renewal was not started";
        return result;
    }
    if (softcard::PublicKeyPemOfCert(after.signCertPem) != softcard::PublicKeyPemOfKey(after.signKeyPem)) {
        result.failure = "the card's new certificate does not carry the card's key";
        return result;
    }
    if (!options.caCert.empty() && !IssuedBy(after.signCertPem, options.caCert, result.failure)) {
        return result;
    }
    std::string from, to;
    softcard::CertValidity(after.signCertPem, from, to);
    print("[card] new certificate valid " + from + " to " + to + " (UTC)");
    result.exitCode = 0;
    return result;
}

} // namespace rv
