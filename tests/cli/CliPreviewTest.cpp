// `korvane preview` as a browser or script sees it: the binary on a free loopback port, its HTTP API.
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "CliSupport.h"

extern char** environ;

namespace korvane::clitest {
namespace {

using nlohmann::json;

// A preview server for one test; Ctrl-C at the end, which must stop it with 130 and leave no folder.
class CliPreviewTest : public CliTest {
protected:
    void Start(const std::string& input, const std::vector<std::string>& env = {}) {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string binary = std::string(KORVANE_BINARY_DIR) + "/bin/korvane";
        std::vector<std::string> args = {binary, "preview", input, "--no-open"};
        std::vector<std::string> envs = {"TMPDIR=" + Path("tmp")};
        std::filesystem::create_directories(Path("tmp"));
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("TMPDIR=", 0) != 0) envs.push_back(*e);
        envs.insert(envs.end(), env.begin(), env.end());
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        for (auto& e : envs) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string line;
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
        ::close(out[0]);
        const std::string prefix = "http://127.0.0.1:";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        port_ = std::stoi(line.substr(prefix.size()));
        token_ = line.substr(line.find("?token=") + 7);
        ASSERT_EQ(token_.size(), 32u);
    }

    void TearDown() override {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGINT);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
        // The effect keeps its log there (as for every render); the server itself writes nothing.
        for (const std::string& name : FolderEntries(Path("tmp"))) EXPECT_EQ(name.rfind("korvane-preview", 0), std::string::npos);
    }

    httplib::Client Client() const {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(60, 0);
        return client;
    }
    httplib::Headers Auth() const { return {{"X-Korvane-Token", token_}}; }
    httplib::Result Post(const std::string& path, const json& body) {
        return Client().Post(path.c_str(), Auth(), body.dump(), "application/json");
    }

    pid_t pid_ = -1;
    int port_ = 0;
    std::string token_;
};

TEST_F(CliPreviewTest, ParamsAreTheCliParams) {
    Start(SourceData("data/coffee.png"));
    auto res = Client().Get(("/api/params?token=" + token_).c_str());
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    const json table = json::parse(res->body);
    const RunResult listed = Korvane({"params"});
    ASSERT_EQ(listed.exit_code, 0);
    std::vector<std::string> names;
    std::istringstream lines(listed.out);
    std::string line;
    std::getline(lines, line);  // heading
    bool named = false;
    while (std::getline(lines, line)) {
        if (line.rfind("          ", 0) == 0) {  // values and description, wrapped under their parameter
            if (named) names.back() += " " + line.substr(line.find_first_not_of(' '));
            continue;
        }
        std::istringstream words(line);
        std::string index, id, name, type;
        words >> index >> id >> name >> type;
        named = name != "-" && type != "layer";
        if (named) names.push_back(name + " " + line);
    }
    ASSERT_EQ(table.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string name = table[i]["name"];
        EXPECT_EQ(names[i].substr(0, names[i].find(' ')), name);
        EXPECT_THAT(names[i], ::testing::HasSubstr(" " + table[i]["default_text"].get<std::string>() + " "));
        EXPECT_THAT(names[i], ::testing::HasSubstr(table[i]["description"].get<std::string>()));
    }
    res = Client().Get("/api/input", Auth());
    ASSERT_TRUE(res);
    EXPECT_EQ(json::parse(res->body)["width"], 600);
}

TEST_F(CliPreviewTest, FullSizeRenderIsTheCommandsFile) {
    Start(SourceData("data/coffee.png"));
    const json look = {{"params", {{"angle", 30}, {"threshold_low", 0.2}, {"trigger", "hue"}, {"reverse", true}, {"blur", 6}}},
                       {"masks", {"M 10 10 L 500 40 L 300 380 Z"}}};
    json with_mask = look;
    with_mask["params"]["mask"] = 1;
    auto command = Post("/api/command", with_mask);
    ASSERT_TRUE(command);
    ASSERT_EQ(command->status, 200);
    auto picture = Post("/api/render", with_mask);
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->status, 200);
    EXPECT_EQ(picture->get_header_value("Content-Type"), "image/png");

    // Run the command line as a shell would, writing to this test's folder.
    std::string line = command->body;
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    ASSERT_EQ(line.rfind("korvane render ", 0), 0u) << line;
    const RunResult run = RunProgram("/bin/sh", {"-c", "cd '" + Path("") + "' && '" + std::string(KORVANE_BINARY_DIR) +
                                                           "/bin/korvane' " + line.substr(8) + " -q"});
    ASSERT_EQ(run.exit_code, 0) << run.err << line;
    EXPECT_TRUE(ReadBytes(Path("coffee_sorted.png")) == picture->body) << line;

    auto preview = Post("/api/render", json{{"params", look["params"]}, {"width", 300}});
    ASSERT_TRUE(preview);
    ASSERT_EQ(preview->status, 200);
    const std::string file = Path("preview.png");
    std::ofstream(file, std::ios::binary) << preview->body;
    EXPECT_EQ(ReadFile(file).width, 300);
    EXPECT_EQ(ReadFile(file).height, 200);
}

TEST_F(CliPreviewTest, RefusesForeignRequests) {
    Start(SourceData("data/coffee.png"));
    const std::string port = std::to_string(port_);
    EXPECT_EQ(Client().Get("/api/params")->status, 403);
    EXPECT_EQ(Client().Get("/")->status, 403);
    EXPECT_EQ(Client().Get("/api/params", {{"X-Korvane-Token", std::string(32, '0')}})->status, 403);
    EXPECT_EQ(Client().Get(("/api/params?token=" + token_.substr(1)).c_str())->status, 403);
    EXPECT_EQ(Client().Post("/api/render", "{}", "application/json")->status, 403);
    EXPECT_EQ(Client().Get("/api/params", {{"X-Korvane-Token", token_}, {"Host", "attacker.example:" + port}})->status, 403);
    EXPECT_EQ(Client().Get("/api/params", {{"X-Korvane-Token", token_}, {"Host", "127.0.0.1:1"}})->status, 403);
    EXPECT_EQ(Client().Get("/api/params", {{"X-Korvane-Token", token_}, {"Host", "localhost:" + port}})->status, 200);
    auto page = Client().Get(("/?token=" + token_).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_THAT(page->body, ::testing::HasSubstr("/api/render"));
}

TEST_F(CliPreviewTest, BadBodiesNameTheirField) {
    Start(SourceData("data/coffee.png"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"params":{"angel":90}})", "params.angel"},
        {R"({"params":{"threshold_low":1.5}})", "params.threshold_low"},
        {R"({"params":{"angle":"nan"}})", "params.angle"},
        {R"({"params":{"trigger":"purple"}})", "params.trigger"},
        {R"({"params":{"angle":"0@0,90@48"}})", "params.angle"},
        {R"({"params":{"mask":1}})", "params.mask"},
        {R"({"params":[1]})", "params"},
        {R"({"masks":["M 1 1 X"]})", "masks[0]"},
        {R"({"width":0})", "width"},
        {R"({"width":601})", "width"},
        {R"({"width":1.5})", "width"},
        {R"({"time":-1})", "time"},
        {R"({"colour":1})", "colour"},
        {R"({"":1})", R"("")"},
        {R"({"params":)", "body"},
        {"{\"params\":{},\"pad\":\"" + std::string(1 << 20, 'x') + "\"}", "body"},
    };
    for (const auto& [body, field] : cases) {
        auto res = Client().Post("/api/render", Auth(), body, "application/json");
        ASSERT_TRUE(res) << field;
        EXPECT_EQ(res->status, 400) << body.substr(0, 80);
        if (res->status == 400) {
            EXPECT_EQ(json::parse(res->body)["field"], field) << res->body;
        }
    }
    auto command = Client().Post("/api/command", Auth(), cases[0].first, "application/json");
    ASSERT_TRUE(command);
    EXPECT_EQ(command->status, 400);
    // The server still renders after all that.
    EXPECT_EQ(Post("/api/render", json{{"width", 60}})->status, 200);
}

TEST_F(CliPreviewTest, NewerRenderCancelsTheOneInFlight) {
    Start(SourceData("data/coffee.png"), {"KORVANE_TEST_PREVIEW_STALL_MS=1500"});
    auto older = std::async(std::launch::async, [&] { return Post("/api/render", json{{"params", {{"angle", 10}}}}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto started = std::chrono::steady_clock::now();
    auto newer = Post("/api/render", json{{"params", {{"angle", 20}}}});
    auto old_result = older.get();
    ASSERT_TRUE(newer);
    ASSERT_TRUE(old_result);
    EXPECT_EQ(newer->status, 200);
    EXPECT_EQ(old_result->status, 409);
    // The newer one waited at most for the stalled progress call, not for a whole render after it.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

}  // namespace
}  // namespace korvane::clitest
