// The texts run as root to grant the network capability: exact expected text for each shape of
// input, the quoting of every path, and the user names allowed into the polkit rule.

#include "platform/elevation_script.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using korvane::ElevationScriptValues;

// The segments as they must appear, with the values used below already inserted.
constexpr char kSegment1[] =
    "BINARY='/opt/k/korvane'; SETCAP='/usr/sbin/setcap'; WRAPPER='/opt/k/korvane-cap-wrapper'";
constexpr char kSegment2[] =
    "; PATCHELF='/usr/bin/patchelf'; LIB='/opt/k/lib'; CURRENT=$($PATCHELF --print-rpath "
    "\"$BINARY\" 2>/dev/null); if [ \"$CURRENT\" != \"$LIB\" ]; then   $PATCHELF --force-rpath "
    "--set-rpath \"$LIB\" \"$BINARY\" 2>/dev/null || {     TMP=\"${BINARY}.setcap_tmp\";     cp "
    "\"$BINARY\" \"$TMP\" &&     $PATCHELF --force-rpath --set-rpath \"$LIB\" \"$TMP\" &&     mv "
    "\"$TMP\" \"$BINARY\" ||     { rm -f \"$TMP\" 2>/dev/null; echo 'patchelf failed'; exit 1; };"
    "   }; fi";
constexpr char kSegment3[] = "; $SETCAP -r \"$BINARY\" 2>/dev/null || true";
constexpr char kSegment4[] =
    "; if [ -x \"$WRAPPER\" ]; then   $SETCAP cap_net_admin+eip \"$WRAPPER\"; else   echo "
    "'korvane-cap-wrapper not found, using main binary (tray may not work)';   $SETCAP "
    "cap_net_admin+ep \"$BINARY\"; fi";

std::string Segment5(const std::string& user) {
  return "; RULE_DIR=/etc/polkit-1/rules.d; if [ -d \"$RULE_DIR\" ]; then   cat > "
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
         "fi";
}

ElevationScriptValues Values(const std::string& patchelf, const std::string& user) {
  ElevationScriptValues values;
  values.binary = "/opt/k/korvane";
  values.setcap = "/usr/sbin/setcap";
  values.wrapper = "/opt/k/korvane-cap-wrapper";
  values.patchelf = patchelf;
  values.lib = "/opt/k/lib";
  values.user = user;
  return values;
}

TEST(ElevationScriptTest, ScriptIsTheSegmentsInOrder) {
  struct Case {
    const char* what;
    std::string patchelf;
    std::string user;
    std::string command;
  };
  const std::string always = std::string(kSegment3) + kSegment4;
  const Case cases[] = {
      {"everything", "/usr/bin/patchelf", "alice",
       kSegment1 + std::string(kSegment2) + always + Segment5("alice")},
      // No patchelf: the run path is left alone.
      {"no patchelf", "", "alice", kSegment1 + always + Segment5("alice")},
      // No user: no polkit rule.
      {"no user", "/usr/bin/patchelf", "", kSegment1 + std::string(kSegment2) + always},
      {"neither", "", "", kSegment1 + always},
      // Every character a login name may hold, and a machine account's trailing "$".
      {"login name characters", "", "a.b_c-9Z$", kSegment1 + always + Segment5("a.b_c-9Z$")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ElevationScriptValues values = Values(c.patchelf, c.user);
    EXPECT_EQ(korvane::RenderElevationCommand(values), c.command);
    EXPECT_EQ(korvane::RenderElevationScript(values), "#!/bin/sh\nset -e\n" + c.command + "\n");
  }
}

TEST(ElevationScriptTest, UserNamesThatCouldLeaveTheRuleGetNoRule) {
  // Each of these could end the JavaScript string or the here-document inside a root script.
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
    EXPECT_EQ(korvane::RenderElevationCommand(Values("", user)),
              kSegment1 + std::string(kSegment3) + kSegment4);
  }
  for (const char* user : {"root", "alice", "POLKIT_EOF", "u-1.x_y", "HOST$", "9"}) {
    EXPECT_TRUE(korvane::IsPolkitSafeUserName(user)) << user;
  }
  EXPECT_FALSE(korvane::IsPolkitSafeUserName(""));
}

TEST(ElevationScriptTest, EveryPathIsSingleQuoted) {
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

  ElevationScriptValues values;
  values.binary = "/o'p/korvane";
  values.setcap = "/s'c";
  values.wrapper = "/o'p/korvane-cap-wrapper";
  values.patchelf = "/p'e";
  values.lib = "/o'p/lib";
  const std::string command = korvane::RenderElevationCommand(values);
  EXPECT_EQ(command.rfind("BINARY='/o'\\''p/korvane'; SETCAP='/s'\\''c'; "
                          "WRAPPER='/o'\\''p/korvane-cap-wrapper'; PATCHELF='/p'\\''e'; "
                          "LIB='/o'\\''p/lib'; CURRENT=",
                          0),
            0u)
      << command;
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
