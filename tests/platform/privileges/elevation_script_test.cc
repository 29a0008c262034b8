// The command run as root to grant the network capability: its frame, the polkit rule's exact
// text, the quoting of every value, and the user names allowed into the rule. What the command
// does when run is tested with the real sudo in elevated_helper_test.cc.

#include "platform/privileges/elevation_script.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using korvane::GrantScriptValues;

std::string Rule(const std::string& user) {
  return "RULE_DIR=/etc/polkit-1/rules.d; if [ -d \"$RULE_DIR\" ]; then   cat > "
         "'/etc/polkit-1/rules.d/90-korvane-resolved.rules' << 'POLKIT_EOF'\n"
         "polkit.addRule(function(action, subject) {\n"
         "  var allowed = [\n"
         "    \"org.freedesktop.resolve1.set-dns-servers\",\n"
         "    \"org.freedesktop.resolve1.set-domains\",\n"
         "    \"org.freedesktop.resolve1.set-default-route\",\n"
         "    \"org.freedesktop.resolve1.revert\"\n"
         "  ];\n"
         "  if (allowed.indexOf(action.id) >= 0 &&\n"
         "      subject.user == \"" +
         user +
         "\" &&\n"
         "      subject.local && subject.active) {\n"
         "    return polkit.Result.YES;\n"
         "  }\n"
         "});\n"
         "POLKIT_EOF\n"
         "fi\n";
}

GrantScriptValues Values(const std::string& user) {
  GrantScriptValues values;
  values.source = "/home/u/app";
  values.dest = "/var/lib/korvane/granted/1000/key";
  values.uid = 1000;
  values.gid = 1001;
  values.binary_sha256 = std::string(64, 'a');
  values.setcap = "/usr/sbin/setcap";
  values.patchelf = "/usr/bin/patchelf";
  values.user = user;
  return values;
}

TEST(ElevationScriptTest, CommandStartsStrictAndEndsWithTheRuleThenItsLastLine) {
  const std::string done = "echo 'korvane-grant: done'\n";
  const std::string with_rule = korvane::RenderGrantCommand(Values("alice"));
  EXPECT_EQ(with_rule.rfind("set -eu\numask 022\nTOP='/var/lib/korvane'\n"
                            "ROOT='/var/lib/korvane/granted'\nSRC='/home/u/app'\n"
                            "DEST='/var/lib/korvane/granted/1000/key'\nU='1000'\nG='1001'\n",
                            0),
            0u)
      << with_rule;
  const std::string tail = Rule("alice") + done;
  ASSERT_GT(with_rule.size(), tail.size());
  EXPECT_EQ(with_rule.substr(with_rule.size() - tail.size()), tail);
  // The copy, its checks and the grant come before the rule.
  for (const char* step : {"setpriv --reuid=\"$U\"", "sha256sum < \"$STAGE/korvane\"",
                           "--set-rpath \"$DEST/lib\"", "cap_net_admin+ep", "mv -T \"$STAGE\""}) {
    EXPECT_LT(with_rule.find(step), with_rule.find("RULE_DIR")) << step;
  }
  // No user: no rule, the last line all the same.
  const std::string without_rule = korvane::RenderGrantCommand(Values(""));
  EXPECT_EQ(without_rule.find("POLKIT_EOF"), std::string::npos);
  EXPECT_EQ(without_rule.substr(without_rule.size() - done.size()), done);

  // The command line: a fixed PATH and nothing else of the caller's environment.
  const std::vector<std::string> line = korvane::GrantCommandLine(Values(""));
  ASSERT_EQ(line.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(line.begin(), line.begin() + 5),
            (std::vector<std::string>{"/usr/bin/env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                      "/bin/sh", "-c"}));
  EXPECT_EQ(line[5], without_rule);
}

TEST(ElevationScriptTest, WhatIsCopiedFollowsTheInstall) {
  GrantScriptValues values = Values("");
  EXPECT_NE(korvane::RenderGrantCommand(values).find("ENTRIES='korvane lib data'\n"),
            std::string::npos);
  values.copy_data = false;
  values.wrapper_sha256 = std::string(64, 'f');
  const std::string command = korvane::RenderGrantCommand(values);
  EXPECT_NE(command.find("ENTRIES='korvane lib korvane-cap-wrapper'\n"), std::string::npos);
  EXPECT_NE(command.find("WSUM='" + std::string(64, 'f') + "'\n"), std::string::npos);
}

TEST(ElevationScriptTest, UserNamesThatCouldLeaveTheRuleGetNoRule) {
  // Each of these could end the JavaScript string or the here-document inside a root command.
  const std::vector<std::string> unsafe = {
      "a\"b",         "a\\b", "a\nPOLKIT_EOF\ntouch /tmp/pwned",
      "POLKIT_EOF\n", "x'y",  "$(id)",
      "a b",          "a$b",  "$",
      "a$$",          "é",    "a;b",
      "a`touch x`",   "a/b",  "a\tb",
  };
  for (const std::string& user : unsafe) {
    SCOPED_TRACE(user);
    EXPECT_FALSE(korvane::IsPolkitSafeUserName(user));
    EXPECT_EQ(korvane::RenderGrantCommand(Values(user)), korvane::RenderGrantCommand(Values("")));
  }
  for (const char* user : {"root", "alice", "POLKIT_EOF", "u-1.x_y", "HOST$", "9"}) {
    EXPECT_TRUE(korvane::IsPolkitSafeUserName(user)) << user;
    EXPECT_NE(korvane::RenderGrantCommand(Values(user)).find(Rule(user)), std::string::npos);
  }
  EXPECT_FALSE(korvane::IsPolkitSafeUserName(""));
}

TEST(ElevationScriptTest, EveryValueIsSingleQuoted) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", "''"},
      {"/plain/path", "'/plain/path'"},
      {"it's", "'it'\\''s'"},
      {"''", "''\\'''\\'''"},
      // Nothing else is special inside single quotes.
      {"$(touch pwned) `id` \"q\" \\ a\nb", "'$(touch pwned) `id` \"q\" \\ a\nb'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(korvane::ShellQuote(c.in), c.out) << c.in;
  }
  GrantScriptValues values = Values("");
  values.source = "/o'p/app";
  values.setcap = "/s'c";
  values.patchelf = "/p'e";
  const std::string command = korvane::RenderGrantCommand(values);
  for (const char* assignment :
       {"SRC='/o'\\''p/app'\n", "SETCAP='/s'\\''c'\n", "PATCHELF='/p'\\''e'\n"}) {
    EXPECT_NE(command.find(assignment), std::string::npos) << assignment;
  }
}

TEST(ElevationScriptTest, PasswordHelperWrappers) {
  struct Case {
    const char* helper;
    const char* script;
  };
  const Case cases[] = {
      {"/usr/bin/zenity",
       "#!/bin/sh\nexec '/usr/bin/zenity' --password --title='Korvane - Authentication "
       "Required' 2>/dev/null\n"},
      {"/usr/local/bin/kdialog",
       "#!/bin/sh\nexec '/usr/local/bin/kdialog' --password 'Password:'\n"},
      {"/usr/bin/yad",
       "#!/bin/sh\nexec '/usr/bin/yad' --entry --hide-text --title='Korvane - Authentication "
       "Required' --text='Password:'\n"},
      {"/usr/local/bin/Xdialog",
       "#!/bin/sh\nexec '/usr/local/bin/Xdialog' --stdout --password 'Password:' 0 0\n"},
      {"/odd'dir/zenity",
       "#!/bin/sh\nexec '/odd'\\''dir/zenity' --password --title='Korvane - Authentication "
       "Required' 2>/dev/null\n"},
      // The ssh-askpass variants (and anything else) are used directly.
      {"/usr/bin/ssh-askpass", ""},
      {"/usr/lib/openssh/gnome-ssh-askpass", ""},
      {"/usr/bin/zenity2", ""},
      {"/usr/bin/xdialog", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(korvane::RenderAskpassWrapper(c.helper), c.script) << c.helper;
  }
}

}  // namespace
