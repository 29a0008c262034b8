// The documents kept in the tree: the generated part of docs/channels.md is the protocol
// reference's rendering, the manual pages render without a warning and name every exit
// status, and the bash completion completes commands, methods and statuses.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/shell_command.h"
#include "tests/support/test_files.h"
#include "tools/korvanectl/exit_status.h"
#include "vpn/protocol/ui_protocol.h"

namespace korvane_test {
namespace {

std::string SourceDir() {
  const char* source = getenv("KORVANE_SOURCE_DIR");
  return source != nullptr ? source : ".";
}

std::string BuildDir() {
  const char* build = getenv("KORVANE_BUILD_DIR");
  return build != nullptr ? build : ".";
}

TEST(DocsTest, ChannelReferenceIsTheProtocolsRendering) {
  constexpr char kBegin[] = "<!-- BEGIN GENERATED: korvanectl help --markdown -->\n";
  constexpr char kEnd[] = "<!-- END GENERATED -->";
  const std::string doc = ReadFile(SourceDir() + "/docs/channels.md");
  const size_t begin = doc.find(kBegin);
  const size_t end = doc.find(kEnd);
  ASSERT_NE(begin, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  const size_t from = begin + sizeof(kBegin) - 1;
  const std::string rendered = korvane::protocol::RenderMarkdown();
  if (doc.substr(from, end - from) != rendered) {
    const std::string fresh = BuildDir() + "/channels-generated.md";
    WriteFile(fresh, rendered);
    ADD_FAILURE() << "docs/channels.md is out of date with vpn/protocol/: replace its generated "
                     "part with "
                  << fresh << " (korvanectl help --markdown)";
  }
  // The prose names the restart's duties and every event order's situation is in the table.
  EXPECT_NE(doc.find("## After restartApp"), std::string::npos);
}

TEST(DocsTest, ManualPagesRenderWithoutWarnings) {
  for (const char* page : {"korvanectl.1", "korvane.1"}) {
    SCOPED_TRACE(page);
    const std::string path = ShellQuote(SourceDir() + "/docs/man/" + page);
    std::string output;
    EXPECT_EQ(RunShellCommand("groff -man -ww -z " + path, &output), 0);
    EXPECT_EQ(output, "");
    EXPECT_EQ(
        RunShellCommand(
            "MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings=w -l " + path + " 2>&1 >/dev/null", &output),
        0);
    EXPECT_EQ(output, "");
    const std::string text =
        ShellOutput("MANWIDTH=80 LC_ALL=C.UTF-8 man -l " + path + " 2>/dev/null");
    EXPECT_NE(text.find("NAME"), std::string::npos) << text;
  }
  // korvanectl(1) documents each exit status it has.
  const std::string text =
      ShellOutput("MANWIDTH=200 LC_ALL=C.UTF-8 man -l " +
                  ShellQuote(SourceDir() + "/docs/man/korvanectl.1") + " 2>/dev/null");
  namespace ctl = korvane::ctl;
  for (int status : {ctl::kExitSuccess, ctl::kExitErrorAnswer, ctl::kExitBadUsage, ctl::kExitNoHost,
                     ctl::kExitHostBusy, ctl::kExitTimeout, ctl::kExitNotImplemented}) {
    EXPECT_NE(text.find("       " + std::to_string(status) + "      "), std::string::npos)
        << "exit status " << status << " missing in:\n"
        << text;
  }
}

TEST(DocsTest, BashCompletionCompletes) {
  const std::string script = ShellQuote(SourceDir() + "/tools/korvanectl/korvanectl.bash");
  const std::string korvanectl = ShellQuote(BuildDir() + "/tools/korvanectl/korvanectl");
  struct Case {
    const char* words;  // the command line so far; the last word is being completed
    const char* expected;
  };
  const Case cases[] = {
      {"korvanectl ca", "call"},
      {"korvanectl call getStat", "getStatus"},
      {"korvanectl call getCore", "getCoreVersion"},
      {"korvanectl help performUr", "performUrlTest"},
      {"korvanectl call disconnect --until vpn_connected,vpn_disc",
       "vpn_connected,vpn_disconnecting vpn_connected,vpn_disconnected"},
      {"korvanectl call getStatus --chan", "--channel"},
      {"korvanectl events --j", "--json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words);
    // COMP_WORDS[0] is korvanectl's path: the completion asks it for the method names.
    const std::string command = ". " + script + "; COMP_WORDS=(" + korvanectl + " " +
                                std::string(c.words).substr(11) +
                                "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _korvanectl; echo "
                                "\"${COMPREPLY[*]}\"";
    EXPECT_EQ(ShellOutput("bash -c " + ShellQuote(command)), std::string(c.expected) + "\n");
  }
}

}  // namespace
}  // namespace korvane_test
