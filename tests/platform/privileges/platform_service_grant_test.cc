// The capability grant for the managed runtime: which paths lie inside it, the install
// directory's entries, the manifest digest, and that nothing runs or changes before the digest
// matches. A matching grant runs the real script as root (pkexec stands in for the prompt).

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/logger.h"
#include "base/sha256.h"
#include "platform/platform_service.h"
#include "platform/privileges/granted_copy.h"
#include "tests/platform/elevation_test_support.h"
#include "tests/platform/namespace_helper.h"

namespace {

using korvane_test::CaptureOutput;
using korvane_test::FileExists;
using korvane_test::GetCap;
using korvane_test::Isolation;
using korvane_test::Output;
using korvane_test::RunIsolated;
using korvane_test::StandInCalls;
using korvane_test::WriteFile;

constexpr char kHome[] = "/tmp/home";
constexpr char kRoot[] = "/tmp/home/.local/share/Korvane/appimage-runtime";

std::string Manifest(const std::string& digest) {
  return "{\n  \"version\": \"1.2.3\",\n  \"binarySha256\": \"" + digest + "\",\n  \"x\": 1\n}\n";
}

std::string GrantedDir(const std::string& install_dir) {
  return korvane::GrantedCopy::DirectoryFor(PlatformService::CanonicalizePath(install_dir),
                                            getuid())
      .string();
}

std::string UpperCase(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

TEST(CapabilityGrantTest, ManagedRuntimePaths) {
  RunIsolated(Isolation(), [] {
    setenv("HOME", kHome, 1);
    std::filesystem::create_directories(std::string(kRoot) + "/v1/lib");
    std::filesystem::create_directories(std::string(kRoot) + "2/v1");
    std::filesystem::create_directories("/tmp/elsewhere");
    ASSERT_EQ(symlink((std::string(kRoot) + "/v1").c_str(), "/tmp/elsewhere/link"), 0);
    const std::string root = kRoot;
    struct Case {
      std::string path;
      bool inside;
    };
    const Case cases[] = {
        {root, true},
        {root + "/", true},
        {root + "/v1/korvane", true},
        {root + "/v1/not-yet/korvane", true},
        // Reached through a link from elsewhere.
        {"/tmp/elsewhere/link/korvane", true},
        {root + "/v1/../../appimage-runtime/v1", true},
        // A sibling named like the root plus a digit, the parent, and escapes with "..".
        {root + "2/v1/korvane", false},
        {root + "2", false},
        {"/tmp/home/.local/share/Korvane", false},
        {root + "/../appimage-runtime2/v1", false},
        {"/tmp/elsewhere/korvane", false},
        {"", false},
    };
    for (const Case& c : cases) {
      EXPECT_EQ(PlatformService::IsManagedAppImagePath(c.path), c.inside) << c.path;
    }
    // Without HOME there is no managed runtime.
    for (const char* home : {static_cast<const char*>(nullptr), ""}) {
      if (home == nullptr) {
        unsetenv("HOME");
      } else {
        setenv("HOME", home, 1);
      }
      EXPECT_FALSE(PlatformService::IsManagedAppImagePath(root));
      EXPECT_FALSE(PlatformService::IsManagedAppImagePath(root + "/v1/korvane"));
    }
  });
}

// One refused grant: how to spoil a valid install directory, the path asked for, and the lines.
struct Refusal {
  const char* what;
  std::function<void(const std::string& dir)> spoil;
  std::string path;
  std::string err;
};

TEST(CapabilityGrantTest, RefusalsChangeNothingAndStartNothing) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    korvane_test::InstallPkexec("exec \"$@\"");
    setenv("XDG_RUNTIME_DIR", "/tmp/run", 1);
    const std::string dir = std::string(kRoot) + "/v1";
    const std::string target = dir + "/korvane";
    const std::string unexpected = std::string(korvane::kPlatformServiceTag) +
                                   " Refusing to set capability on unexpected path: ";
    const std::string hash_failed = std::string(korvane::kPlatformServiceTag) +
                                    " Refusing to grant capability: hash verification failed\n";
    const std::string no_field = std::string(korvane::kPlatformServiceTag) +
                                 " manifest.json missing or has no binarySha256 field\n" +
                                 hash_failed;
    auto remove = [](const std::string& path) {
      return [path](const std::string& d) { std::filesystem::remove_all(d + "/" + path); };
    };
    auto make_file = [](const std::string& path) {
      return [path](const std::string& d) {
        std::filesystem::remove_all(d + "/" + path);
        WriteFile(d + "/" + path, "x");
      };
    };
    auto make_dir = [](const std::string& path) {
      return [path](const std::string& d) {
        std::filesystem::remove_all(d + "/" + path);
        std::filesystem::create_directories(d + "/" + path);
      };
    };
    auto manifest = [](const std::string& text) {
      return [text](const std::string& d) { WriteFile(d + "/manifest.json", text); };
    };
    auto nothing = [](const std::string&) {};
    // The digest of the executable every install directory gets.
    const std::string digest = Sha256::FileHex("/bin/true");
    ASSERT_EQ(digest.size(), 64u);
    const std::string wrong(64, 'a');

    const std::vector<Refusal> refusals = {
        {"empty path", nothing, "",
         std::string(korvane::kPlatformServiceTag) + " Refusing to set capability on empty path\n"},
        // Outside the managed runtime: elsewhere, in a sibling named like the root.
        {"outside", nothing, "/tmp/outside/v1/korvane", unexpected + "/tmp/outside/v1/korvane\n"},
        {"sibling", nothing, std::string(kRoot) + "2/v1/korvane",
         unexpected + kRoot + "2/v1/korvane\n"},
        // Any other file of the install directory, the wrapper included.
        {"wrapper", make_file("korvane-cap-wrapper"), dir + "/korvane-cap-wrapper",
         unexpected + dir + "/korvane-cap-wrapper\n"},
        {"manifest as target", nothing, dir + "/manifest.json",
         unexpected + dir + "/manifest.json\n"},
        // Each entry missing or of the wrong type.
        {"korvane missing", remove("korvane"), target, unexpected + target + "\n"},
        {"korvane a directory", make_dir("korvane"), target, unexpected + target + "\n"},
        {"lib missing", remove("lib"), target, unexpected + target + "\n"},
        {"lib a file", make_file("lib"), target, unexpected + target + "\n"},
        {"data missing", remove("data"), target, unexpected + target + "\n"},
        {"data a file", make_file("data"), target, unexpected + target + "\n"},
        {"icudtl.dat missing", remove("data/icudtl.dat"), target, unexpected + target + "\n"},
        {"icudtl.dat a directory", make_dir("data/icudtl.dat"), target, unexpected + target + "\n"},
        {"manifest missing", remove("manifest.json"), target, unexpected + target + "\n"},
        {"manifest a directory", make_dir("manifest.json"), target, unexpected + target + "\n"},
        // The manifest's digest: on the next line, absent, upper case, another file's.
        {"value on the next line", manifest("{\n  \"binarySha256\":\n    \"" + digest + "\"\n}\n"),
         target, no_field},
        {"no field", manifest("{\"version\": \"1\"}\n"), target, no_field},
        {"key without quotes", manifest("{binarySha256: \"" + digest + "\"}\n"), target, no_field},
        {"empty file", manifest(""), target, no_field},
        // An empty value ends the scan: a later line cannot supply the digest.
        {"empty value first",
         manifest("{\n  \"binarySha256\": \"\",\n" + Manifest(digest).substr(2)), target, no_field},
        {"upper case", manifest(Manifest(UpperCase(digest))), target,
         std::string(korvane::kPlatformServiceTag) +
             " Binary hash mismatch!\n[PlatformService]   expected: " + UpperCase(digest) +
             "\n[PlatformService]   actual:   " + digest + "\n" + hash_failed},
        {"other digest", manifest(Manifest(wrong)), target,
         std::string(korvane::kPlatformServiceTag) +
             " Binary hash mismatch!\n[PlatformService]   expected: " + wrong +
             "\n[PlatformService]   actual:   " + digest + "\n" + hash_failed},
        // A line of megabytes before the field: the scan stops reading long before it.
        {"huge line first",
         manifest("{\"pad\": \"" + std::string(3 << 20, 'p') + "\",\n" +
                  Manifest(digest).substr(2)),
         target, no_field},
    };
    setenv("HOME", kHome, 1);
    for (const Refusal& r : refusals) {
      SCOPED_TRACE(r.what);
      std::filesystem::remove_all("/tmp/home");
      std::filesystem::remove_all("/tmp/outside");
      korvane_test::MakeInstallDir(dir, Manifest(digest));
      korvane_test::MakeInstallDir("/tmp/outside/v1", Manifest(digest));
      korvane_test::MakeInstallDir(std::string(kRoot) + "2/v1", Manifest(digest));
      r.spoil(dir);
      const std::string before = korvane_test::TreeSnapshot("/tmp/home");
      Output output =
          CaptureOutput([&] { EXPECT_FALSE(PlatformService::SetCapabilityOnPath(r.path)); });
      EXPECT_EQ(output.err, r.err);
      EXPECT_EQ(output.out, "");
      // Nothing started, nothing written, no capability.
      EXPECT_TRUE(StandInCalls().empty());
      EXPECT_FALSE(FileExists("/tmp/run"));
      EXPECT_EQ(korvane_test::TreeSnapshot("/tmp/home"), before);
      EXPECT_EQ(GetCap(target), "");
      EXPECT_FALSE(FileExists("/etc/polkit-1/rules.d/90-korvane-resolved.rules"));
      EXPECT_FALSE(FileExists("/var/lib/korvane"));
    }

    // HOME unset: every grant is refused as an unexpected path.
    korvane_test::MakeInstallDir(dir, Manifest(digest));
    unsetenv("HOME");
    Output output =
        CaptureOutput([&] { EXPECT_FALSE(PlatformService::SetCapabilityOnPath(target)); });
    EXPECT_EQ(output.err, unexpected + target + "\n");
    EXPECT_TRUE(StandInCalls().empty());
  });
}

TEST(CapabilityGrantTest, MatchingDigestGrantsThroughTheCallersPath) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    korvane_test::InstallPkexec("exec \"$@\"");
    setenv("HOME", kHome, 1);
    setenv("XDG_RUNTIME_DIR", "/tmp/run", 1);
    const std::string dir = std::string(kRoot) + "/v2";
    const std::string digest = Sha256::FileHex("/bin/true");
    struct Case {
      const char* what;
      std::string manifest;
    };
    const Case cases[] = {
        {"pretty", Manifest(digest)},
        {"compact, other members first",
         "{\"a\":\"b\",\"binarySha256\" :  \"" + digest + "\",\"c\":\"d\"}"},
        // The first line holding the field counts.
        {"second field ignored", Manifest(digest) + Manifest(std::string(64, 'b'))},
    };
    std::filesystem::create_directories("/tmp/elsewhere");
    ASSERT_EQ(symlink(dir.c_str(), "/tmp/elsewhere/install"), 0);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      std::filesystem::remove_all(dir);
      korvane_test::MakeInstallDir(dir, c.manifest);
      korvane_test::ClearStandInCalls();
      // Asked for through a link from elsewhere: the messages and the helper get that path.
      bool granted = false;
      Output output = CaptureOutput([&] {
        granted = PlatformService::SetCapabilityOnPath("/tmp/elsewhere/install/korvane");
      });
      EXPECT_TRUE(granted) << output.err;
      // Root's copy carries the capability; the user's file stays as it was.
      const std::string granted_dir = GrantedDir(dir);
      EXPECT_EQ(GetCap(granted_dir + "/korvane"), granted_dir + "/korvane cap_net_admin=ep");
      EXPECT_EQ(korvane_test::CommandOutput("patchelf --print-rpath " + granted_dir + "/korvane"),
                granted_dir + "/lib");
      EXPECT_EQ(GetCap(dir + "/korvane"), "");
      EXPECT_EQ(Sha256::FileHex(dir + "/korvane"), digest);
      ASSERT_EQ(StandInCalls().size(), 1u);
      EXPECT_NE(output.out.find(std::string(korvane::kPlatformServiceTag) + "   binary:  \"" + dir +
                                "/korvane\"\n"),
                std::string::npos)
          << output.out;
    }
  });
}

TEST(CapabilityGrantTest, WrapperIsGrantedOnlyWhenTheManifestCoversIt) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    korvane_test::InstallPkexec("exec \"$@\"");
    setenv("HOME", kHome, 1);
    const std::string dir = std::string(kRoot) + "/w";
    const std::string digest = Sha256::FileHex("/bin/true");
    // Any program put there as the wrapper, here a copy of one that is no wrapper at all.
    const std::string wrapper_digest = Sha256::FileHex("/bin/false");
    const std::string not_covered =
        std::string(korvane::kPlatformServiceTag) +
        " Not granting korvane-cap-wrapper: no manifest.json digest covers it\n";
    const std::string mismatch =
        std::string(korvane::kPlatformServiceTag) +
        " Not granting korvane-cap-wrapper: it does not match the digest in "
        "manifest.json\n";
    struct Case {
      const char* what;
      std::string wrapper_line;
      bool granted_wrapper;
      std::string err;
    };
    const Case cases[] = {
        {"not in the manifest", "", false, not_covered},
        {"another digest", "  \"capWrapperSha256\": \"" + std::string(64, 'e') + "\",\n", false,
         mismatch},
        {"covered", "  \"capWrapperSha256\": \"" + wrapper_digest + "\",\n", true, ""},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      std::filesystem::remove_all(dir);
      korvane_test::MakeInstallDir(
          dir, "{\n" + c.wrapper_line + "  \"binarySha256\": \"" + digest + "\"\n}\n");
      std::filesystem::copy_file("/bin/false", dir + "/korvane-cap-wrapper");
      bool granted = false;
      Output output =
          CaptureOutput([&] { granted = PlatformService::SetCapabilityOnPath(dir + "/korvane"); });
      EXPECT_TRUE(granted) << output.err;
      EXPECT_EQ(output.err, c.err);
      const std::string granted_dir = GrantedDir(dir);
      if (c.granted_wrapper) {
        EXPECT_EQ(GetCap(granted_dir + "/korvane-cap-wrapper"),
                  granted_dir + "/korvane-cap-wrapper cap_net_admin=eip");
        EXPECT_EQ(GetCap(granted_dir + "/korvane"), "");
        // The wrapper line names the copy, unquoted.
        EXPECT_NE(output.out.find(std::string(korvane::kPlatformServiceTag) +
                                  "   wrapper: " + granted_dir + "/korvane-cap-wrapper\n"),
                  std::string::npos)
            << output.out;
      } else {
        EXPECT_FALSE(FileExists(granted_dir + "/korvane-cap-wrapper"));
        EXPECT_EQ(GetCap(granted_dir + "/korvane"), granted_dir + "/korvane cap_net_admin=ep");
        EXPECT_NE(output.out.find(std::string(korvane::kPlatformServiceTag) +
                                  "   wrapper: (not found)\n"),
                  std::string::npos);
      }
      EXPECT_EQ(GetCap(dir + "/korvane-cap-wrapper"), "");
    }
  });
}

}  // namespace
