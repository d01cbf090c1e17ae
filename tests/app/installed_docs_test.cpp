// What the packages install for a reader, from the build's own install rules into a scratch root: every
// installed program has a manual page, renvora(1) refers to every other one and each of them back to it,
// and the README with the guides a user needs lies in /usr/share/doc/renvora.
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>

namespace rv::test {
namespace {
namespace fs = std::filesystem;

// The SEE ALSO section of a man page source, its references as "name(section)" with the roff escapes
// ("\-") taken out.
std::set<std::string> SeeAlso(const std::string& page) {
    std::set<std::string> refs;
    const std::size_t at = page.find(".SH SEE ALSO");
    if (at == std::string::npos) {
        return refs;
    }
    const std::size_t end = page.find("\n.SH", at + 1);
    std::string section = page.substr(at, end == std::string::npos ? std::string::npos : end - at);
    section.erase(std::remove(section.begin(), section.end(), '\\'), section.end());
    std::size_t pos = 0;
    while ((pos = section.find("\n.BR ", pos)) != std::string::npos) {
        pos += 5;
        const std::size_t space = section.find(' ', pos);
        const std::size_t open = section.find('(', pos);
        if (space != std::string::npos && open == space + 1) {
            refs.insert(section.substr(pos, space - pos) +
                        section.substr(open, section.find(')', open) - open + 1));
        }
    }
    return refs;
}

TEST(InstalledDocs, EveryProgramHasAPageAndRenvoraAndItsPagesReferToEachOther) {
#ifndef RENVORA_PACKAGING
    GTEST_SKIP() << "this build has no install rules (sanitizer and fuzzing builds leave packaging/ out)";
#endif
    TempWorkDir dir;
    const fs::path root = dir.path() / "root";
    for (const char* component : {"client", "server"}) {
        CommandRun install =
            RunCommand("DESTDIR='" + root.string() +
                       "' '" RENVORA_CMAKE_COMMAND "' --install '" RENVORA_BUILD_DIR "' --component " +
                       component + " 2>&1");
        ASSERT_EQ(install.exitCode, 0) << install.output;
    }
    const fs::path usr = root / fs::path(RENVORA_INSTALL_PREFIX).relative_path();

    std::map<std::string, std::string> pages; // "name(section)" -> roff text
    for (const char* section : {"1", "8"}) {
        const fs::path folder = usr / "share" / "man" / ("man" + std::string(section));
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string file = entry.path().filename().string(); // name.section.gz
            const std::string name = file.substr(0, file.find('.'));
            pages[name + "(" + section + ")"] = Shell("gzip -dc '" + entry.path().string() + "'");
        }
    }
    std::set<std::string> programs;
    for (const auto& entry : fs::directory_iterator(usr / "bin")) {
        programs.insert(entry.path().filename().string());
    }
    ASSERT_TRUE(programs.count("renvora") && programs.count("renvora-server")) << "nothing installed";

    for (const std::string& program : programs) {
        const bool hasPage = pages.count(program + "(1)") || pages.count(program + "(8)");
        EXPECT_TRUE(hasPage) << program << " has no manual page";
    }
    const std::set<std::string> fromRenvora = SeeAlso(pages["renvora(1)"]);
    for (const auto& [ref, text] : pages) {
        if (ref == "renvora(1)") {
            continue;
        }
        EXPECT_TRUE(fromRenvora.count(ref)) << "renvora(1) does not refer to " << ref;
        EXPECT_TRUE(SeeAlso(text).count("renvora(1)")) << ref << " does not refer to renvora(1)";
    }
    // The cards and tokens, with the commands that register a card control.
    const std::string& renvora = pages["renvora(1)"];
    EXPECT_NE(renvora.find(".SH CARDS AND TOKENS"), std::string::npos);
    EXPECT_NE(renvora.find("renvora\\-p11card register"), std::string::npos);
    EXPECT_NE(renvora.find("renvora\\-softcard register"), std::string::npos);
    EXPECT_NE(renvora.find("pcscd"), std::string::npos);

    // The README and the guides to real cards, the reminder, the configuration and the installation.
    const fs::path doc = usr / "share" / "doc" / "renvora";
    for (const char* file : {"README.md.gz", "p11card.md.gz", "reminder.md.gz", "configuration.md.gz",
                             "install.md.gz", "copyright", "changelog.gz"}) {
        EXPECT_TRUE(fs::is_regular_file(doc / file)) << file;
    }
    EXPECT_NE(Shell("gzip -dc '" + (doc / "README.md.gz").string() + "'").find("## Real cards and tokens"),
              std::string::npos);
}

} // namespace
} // namespace rv::test
