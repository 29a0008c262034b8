// The run command's one-shot mode, on the tree this test was built in: it starts the bundle
// under its own Xvfb, prints the hello through korvanectl, takes a screenshot and stops.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <glib.h>

namespace {

TEST(RunScriptTest, OnceStartsTheBundlePrintsTheHelloAndTakesAScreenshot) {
  const char* source = getenv("KORVANE_SOURCE_DIR");
  const char* build = getenv("KORVANE_BUILD_DIR");
  ASSERT_NE(source, nullptr);
  ASSERT_NE(build, nullptr);
  gchar* dir = g_dir_make_tmp("run-script-test-XXXXXX", nullptr);
  ASSERT_NE(dir, nullptr);
  std::string artifacts = std::string(dir) + "/artifacts";
  g_free(dir);

  std::string script = std::string(source) + "/scripts/run";
  const gchar* argv[] = {"bash",        script.c_str(), "--once",      "--no-build",
                         "--build-dir", build,          "--artifacts", artifacts.c_str(),
                         "--",          "alpha",        "beta gamma",  nullptr};
  gchar* out = nullptr;
  gchar* err = nullptr;
  gint status = 0;
  ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH,
                           nullptr, nullptr, &out, &err, &status, nullptr));
  std::string output = out != nullptr ? out : "";
  std::string errors = err != nullptr ? err : "";
  g_free(out);
  g_free(err);
  EXPECT_TRUE(g_spawn_check_wait_status(status, nullptr)) << output << errors;
  EXPECT_NE(output.find("\"entrypointArguments\":[\"alpha\",\"beta gamma\"]"), std::string::npos)
      << output << errors;
  EXPECT_NE(output.find("\"application\":\"com.quorandel.korvane\""), std::string::npos) << output;
  struct stat info;
  ASSERT_EQ(stat((artifacts + "/run-once.png").c_str(), &info), 0) << output << errors;
  EXPECT_GT(info.st_size, 0);

  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(artifacts).parent_path(), ignored);
}

}  // namespace
