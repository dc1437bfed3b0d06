// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file, and kestrane-cli choosing its source and credentials.
#include "client/Settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/PubServer.h"
#include "tests/support/CliProcess.h"
#include "tests/support/TestSupport.h"

namespace kestrane {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSecret = "s3cr3t-Of-The-Test";

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

TEST(SettingsFile, IsWrittenPrivatelyKeepsUnknownKeysAndRefusesAFileOthersMayRead) {
    test::TempDir dir;
    const std::string path = dir.str() + "/config/kestrane/kestrane.conf";
    test::WriteFile(dir.str() + "/seed", "");
    Settings settings;
    settings.Set("run.source", "ops");
    settings.Set("ops.key", "the-key");
    settings.Set("ops.secret", kSecret);
    settings.Set("merge.program", "/usr/bin/pdftk");
    settings.Set("window.colour", "blue");  // someone else's key
    ASSERT_EQ(SaveSettings(path, settings), "");
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_EQ(ModeOf(dir.str() + "/config/kestrane"), 0700u);
    EXPECT_EQ(test::ListFiles(dir.str() + "/config"),
              std::vector<std::string>{"kestrane/kestrane.conf"});  // no temporary left

    SettingsLoad load = LoadSettings(path);
    ASSERT_TRUE(load.Ok) << load.Error;
    EXPECT_EQ(load.Values.Source(), "ops");
    EXPECT_EQ(load.Values.Get("ops.key"), "the-key");
    EXPECT_EQ(load.Values.Get("ops.secret"), kSecret);
    EXPECT_EQ(load.Values.MergeProgram(), "/usr/bin/pdftk");
    EXPECT_EQ(load.Values.Get("window.colour"), "blue");

    // Hand-edited: comments, blanks around '=', a second save keeps 0600.
    test::WriteFile(path, "# mine\n[ops]\n key = k2 \n secret=x\n[run]\nsource = classic\n");
    load = LoadSettings(path);
    ASSERT_TRUE(load.Ok);
    EXPECT_EQ(load.Values.Get("ops.key"), "k2");
    EXPECT_EQ(load.Values.Source(), "classic");

    ::chmod(path.c_str(), 0644);
    load = LoadSettings(path);
    EXPECT_FALSE(load.Ok);
    EXPECT_NE(load.Error.find("chmod 600"), std::string::npos) << load.Error;

    EXPECT_TRUE(LoadSettings(dir.str() + "/missing.conf").Ok);
    settings.Set("ops.secret", "two\nlines");
    EXPECT_NE(SaveSettings(path, settings), "");
}

struct CliOps {
    CliOps() {
        pubserver::ServerOptions options;
        options.opsSecret = kSecret;
        options.opsThrottling = "idle (images=green:60000, retrieval=green:60000)";
        server = std::make_unique<test::ServerFixture>(options);
        fs::create_directories(save.path());
    }
    std::vector<std::string> Env(const std::string& key, const std::string& secret) const {
        return {"XDG_CONFIG_HOME=" + config.str(), "KESTRANE_OPS_KEY=" + key,
                "KESTRANE_OPS_SECRET=" + secret,
                "KESTRANE_OPS_BASE=" + server->server.BaseUrl() + "/3.2"};
    }
    test::CliOutcome Run(const std::vector<std::string>& args,
                         const std::vector<std::string>& env) {
        test::CliProcess cli(server->server.BaseUrl(), args, save.str(), "/dev/null", env);
        return cli.Wait();
    }
    test::TempDir config;
    test::TempDir save;
    std::unique_ptr<test::ServerFixture> server;
};

TEST(CliSource, OpsWithoutCredentialsIsRefusedBeforeAnythingIsCreatedOrSent) {
    CliOps cli;
    const test::CliOutcome out =
        cli.Run({"--source", "ops", "-o", cli.save.str(), "DE19758096C2"}, cli.Env("", ""));
    EXPECT_EQ(out.status, 2);
    EXPECT_NE(out.err.find("KESTRANE_OPS_KEY"), std::string::npos) << out.err;
    EXPECT_NE(out.err.find(cli.config.str() + "/kestrane/kestrane.conf"), std::string::npos);
    EXPECT_TRUE(test::ListFiles(cli.save.path()).empty());
    EXPECT_FALSE(fs::exists(cli.save.path() / "temp"));
    EXPECT_TRUE(cli.server->server.RequestLog().empty());

    EXPECT_EQ(cli.Run({"--source", "nonsense", "DE1A"}, cli.Env("", "")).status, 2);

    // The settings file's merge program is the run's unless the command line names one.
    Settings settings;
    settings.Set("merge.program", "no-such-merge-program");
    ASSERT_EQ(SaveSettings(cli.config.str() + "/kestrane/kestrane.conf", settings), "");
    const test::CliOutcome merge = cli.Run({"-o", cli.save.str(), "DE19758096C2"}, cli.Env("", ""));
    EXPECT_EQ(merge.status, 2);
    EXPECT_NE(merge.err.find("no-such-merge-program"), std::string::npos) << merge.err;
}

TEST(CliSource, TheSecretAndTheTokenAppearInNoOutput) {
    CliOps cli;
    // Credentials from the settings file, the source from the command line.
    Settings settings;
    settings.Set("ops.key", "demo-key");
    settings.Set("ops.secret", kSecret);
    ASSERT_EQ(SaveSettings(cli.config.str() + "/kestrane/kestrane.conf", settings), "");
    cli.server->server.AddFault("DE60218500T2", pubserver::Fault{pubserver::Stage::OpsPage,
                                                                 pubserver::FaultKind::Stall, 2});
    const test::CliOutcome out =
        cli.Run({"--source", "ops", "--watchdog", "2", "-o", cli.save.str(), "DE19758096C2",
                 "DE60218500T2", "DE102006026208A1"},
                cli.Env("", ""));
    EXPECT_EQ(out.status, 1) << out.err;
    EXPECT_NE(out.out.find("DE19758096C2 Success"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("DE60218500T2 Failed"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("DE102006026208A1 Success"), std::string::npos) << out.out;

    // A successor worker after the watchdog's stop reuses the run's token.
    const std::vector<std::string> tokens = cli.server->server.OpsTokensIssued();
    ASSERT_EQ(tokens.size(), 1u);
    std::vector<std::string> outputs = {out.out, out.err};
    for (const std::string& file : test::ListFiles(cli.save.path()))
        outputs.push_back(test::ReadFile((cli.save.path() / file).string()));
    for (const std::string& text : outputs) {
        EXPECT_EQ(text.find(kSecret), std::string::npos);
        EXPECT_EQ(text.find(tokens[0]), std::string::npos);
    }
}

}  // namespace
}  // namespace kestrane
