// `korvane preview` as a browser or script sees it: the binary on a free loopback port, its HTTP API.
#include <fcntl.h>
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
    struct Launched {
        pid_t pid = -1;
        std::string line;  // the first line of standard output; empty when the server exited first
    };

    // Starts `korvane preview INPUT --no-open ARGS...`; its standard error goes to `err_path`, or to
    // the test's own where that is empty.
    Launched Launch(const std::string& input, const std::vector<std::string>& args, const std::vector<std::string>& env,
                    const std::string& err_path = "") {
        Launched launched;
        int out[2];
        EXPECT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (!err_path.empty())
            posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const std::string binary = std::string(KORVANE_BINARY_DIR) + "/bin/korvane";
        std::vector<std::string> argv_text = {binary, "preview", input, "--no-open"};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<std::string> envs = {"TMPDIR=" + Path("tmp")};
        std::filesystem::create_directories(Path("tmp"));
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("TMPDIR=", 0) != 0) envs.push_back(*e);
        envs.insert(envs.end(), env.begin(), env.end());
        std::vector<char*> argv, envp;
        for (auto& a : argv_text) argv.push_back(a.data());
        for (auto& e : envs) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&launched.pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n') launched.line += c;
        ::close(out[0]);
        return launched;
    }

    void Start(const std::string& input, const std::vector<std::string>& env = {},
               const std::vector<std::string>& args = {}) {
        const Launched launched = Launch(input, args, env);
        pid_ = launched.pid;
        const std::string& line = launched.line;
        const std::size_t query = line.find("/?token=");
        ASSERT_EQ(line.rfind("http://", 0), 0u) << line;
        ASSERT_NE(query, std::string::npos) << line;
        port_ = std::stoi(line.substr(line.rfind(':', query) + 1));
        token_ = line.substr(query + 8);
        ASSERT_EQ(token_.size(), 32u);
    }

    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGINT);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
        // The effect keeps its log there (as for every render); the server itself writes nothing.
        for (const std::string& name : FolderEntries(Path("tmp")))
            EXPECT_EQ(name.rfind("korvane-preview", 0), std::string::npos);
    }

    void TearDown() override { Stop(); }

    httplib::Client Client() const {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(60, 0);
        return client;
    }
    httplib::Headers Auth() const { return {{"X-Korvane-Token", token_}}; }
    httplib::Result Post(const std::string& path, const json& body) {
        return Client().Post(path.c_str(), Auth(), body.dump(), "application/json");
    }
    // Runs a command line the server gave as a shell would, in this test's folder, with this build's binary.
    RunResult RunCommand(std::string line) {
        EXPECT_EQ(line.rfind("korvane render ", 0), 0u) << line;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return RunProgram("/bin/sh", {"-c", "cd '" + Path("") + "' && '" + std::string(KORVANE_BINARY_DIR) +
                                                "/bin/korvane' " + line.substr(8) + " -q"});
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
    // Looks that read other frames are the CLI's alone: the page has no control for them.
    std::erase_if(names, [](const std::string& n) {
        return n.find("the page and the frei0r filter leave it out") != std::string::npos;
    });
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
    const json look = {{"params",
                        {{"angle", 30}, {"threshold_low", 0.2}, {"trigger", "hue"}, {"reverse", true}, {"blur", 6}}},
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

    const std::string& line = command->body;
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\n');
    const RunResult run = RunCommand(line);
    ASSERT_EQ(run.exit_code, 0) << run.err << line;
    EXPECT_TRUE(ReadBytes(Path("coffee_sorted.png")) == picture->body) << line;
    EXPECT_EQ(picture->get_header_value("Content-Disposition"), "inline; filename*=UTF-8''coffee_sorted.png");

    // A picture of a look in motion is a JPEG (fast to make and to show), unless it has alpha.
    auto preview = Post("/api/render", json{{"params", look["params"]}, {"width", 300}});
    ASSERT_TRUE(preview);
    ASSERT_EQ(preview->status, 200);
    EXPECT_EQ(preview->get_header_value("Content-Type"), "image/jpeg");
    const std::string file = Path("preview.jpg");
    std::ofstream(file, std::ios::binary) << preview->body;
    EXPECT_EQ(ReadFile(file).width, 300);
    EXPECT_EQ(ReadFile(file).height, 200);
    Stop();
    WriteFile(Path("clear.png"), RandomImage(60, 40, 4, OIIO::TypeDesc::UINT8, 3));
    Start(Path("clear.png"));
    preview = Post("/api/render", json{{"params", look["params"]}, {"width", 30}});
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->get_header_value("Content-Type"), "image/png");
}

TEST_F(CliPreviewTest, RefusesForeignRequests) {
    Start(SourceData("data/coffee.png"));
    const std::string port = std::to_string(port_);
    EXPECT_EQ(Client().Get("/api/params")->status, 403);
    EXPECT_EQ(Client().Get("/")->status, 403);
    EXPECT_EQ(Client().Get("/api/params", {{"X-Korvane-Token", std::string(32, '0')}})->status, 403);
    EXPECT_EQ(Client().Get(("/api/params?token=" + token_.substr(1)).c_str())->status, 403);
    EXPECT_EQ(Client().Post("/api/render", "{}", "application/json")->status, 403);
    // The whole token only: neither a prefix of it nor it with characters added.
    for (const std::string& wrong : {token_.substr(0, 31), token_.substr(0, 1), token_ + "0", token_ + token_}) {
        EXPECT_EQ(Client().Get("/api/params", {{"X-Korvane-Token", wrong}})->status, 403) << wrong;
        EXPECT_EQ(Client().Get(("/api/params?token=" + wrong).c_str())->status, 403) << wrong;
    }
    EXPECT_EQ(Client().Get("/api/params", {{"X-Korvane-Token", token_}, {"Host", "attacker.example:" + port}})->status,
              403);
    EXPECT_EQ(Client().Get("/api/params", {{"X-Korvane-Token", token_}, {"Host", "127.0.0.1:1"}})->status, 403);
    EXPECT_EQ(Client().Get("/api/params", {{"X-Korvane-Token", token_}, {"Host", "localhost:" + port}})->status, 200);
    auto page = Client().Get(("/?token=" + token_).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_THAT(page->body, ::testing::HasSubstr("/api/render"));
}

// Bound to every address, the server answers to any address literal but never to a name, which a
// rebinding DNS could point at it.
TEST_F(CliPreviewTest, OnEveryAddressRefusesNames) {
    Start(SourceData("data/coffee.png"), {}, {"--host", "0.0.0.0"});
    const std::string port = std::to_string(port_);
    auto status = [&](const std::string& host) {
        auto res = Client().Get("/api/params", {{"X-Korvane-Token", token_}, {"Host", host}});
        return res ? res->status : -1;
    };
    for (const std::string name : {"evil.example", "127.0.0.1.evil.example", "0x7f000001", "localhost.evil.example"})
        EXPECT_EQ(status(name + ":" + port), 403) << name;
    for (const std::string address : {"127.0.0.1", "192.0.2.7", "[::1]", "[2001:db8::7]", "localhost"})
        EXPECT_EQ(status(address + ":" + port), 200) << address;
    EXPECT_EQ(status("192.0.2.7:1"), 403);
    EXPECT_EQ(status("192.0.2.7"), 403);
}

// A second server on a port in use fails in one line naming the port, and the first goes on
// answering alone (two servers on one port share its connections, and each refuses the other's token).
TEST_F(CliPreviewTest, TakenPortIsAnError) {
    Start(SourceData("data/coffee.png"));
    const std::string port = std::to_string(port_);
    for (const std::string host : {"127.0.0.1", "0.0.0.0"}) {
        const Launched second = Launch(SourceData("data/coffee.png"), {"--port", port, "--host", host}, {},
                                       Path("second.err"));
        if (!second.line.empty()) ::kill(second.pid, SIGINT);
        int status = 0;
        ::waitpid(second.pid, &status, 0);
        EXPECT_EQ(second.line, "") << host << ": a second server started";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << host << ": " << status;
        const std::string err = ReadBytes(Path("second.err"));
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_THAT(err, ::testing::HasSubstr("port " + port)) << err;
    }
    for (int i = 0; i < 16; ++i) EXPECT_EQ(Client().Get(("/api/params?token=" + token_).c_str())->status, 200) << i;
}

// For a clip or a sequence the command renders every frame into a file of the same kind; a
// full-size render of a frame is named as that frame of the sequence's output.
TEST_F(CliPreviewTest, CommandOfAClipOrSequenceRendersEveryFrame) {
    const json params = {{"angle", 90}, {"threshold_low", 0.2}, {"threshold_high", 0.9}};
    // A lossless clip of 12 frames at 24 fps, each frame unlike the others.
    const std::string clip = Path("clip.mkv");
    const char* pattern = "geq=r='mod(X*37+Y*11+N*29,256)':g='mod(X*X+N*7,256)':b='mod(Y*53+N*91,256)'";
    ASSERT_EQ(RunProgram("ffmpeg",
                         {"-nostdin", "-v", "error", "-f", "lavfi", "-i", "nullsrc=size=40x30:rate=24:duration=0.5",
                          "-vf", pattern, "-c:v", "ffv1", "-pix_fmt", "bgr0", clip})
                  .exit_code,
              0);
    // Frame `n` of a clip (or an image file) as RGBA bytes.
    auto pixels = [](const std::string& path, int n) {
        return RunProgram("ffmpeg",
                          {"-nostdin", "-v", "error", "-i", path, "-vf", "select=eq(n\\," + std::to_string(n) + ")",
                           "-fps_mode", "passthrough", "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgba", "-"})
            .out;
    };
    Start(clip);
    auto command = Post("/api/command", json{{"params", params}, {"time", 0.25}});
    ASSERT_TRUE(command);
    ASSERT_EQ(command->status, 200);
    EXPECT_THAT(command->body, ::testing::HasSubstr(" -o clip_sorted.mkv "));
    auto frame = Post("/api/render", json{{"params", params}, {"time", 0.25}});
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->status, 200);
    EXPECT_EQ(frame->get_header_value("Content-Disposition"), "inline; filename*=UTF-8''clip_sorted_0006.png");
    RunResult run = RunCommand(command->body);
    ASSERT_EQ(run.exit_code, 0) << run.err << command->body;
    const RunResult count = RunProgram("ffprobe",
                                       {"-v", "error", "-count_frames", "-select_streams", "v", "-show_entries",
                                        "stream=nb_read_frames", "-of", "csv=p=0", Path("clip_sorted.mkv")});
    EXPECT_EQ(count.out, "12\n") << count.err;
    // Lossless in and out: the clip's frame 6 is the page's render of it.
    std::ofstream(Path("page6.png"), std::ios::binary) << frame->body;
    const std::string page = pixels(Path("page6.png"), 0);
    EXPECT_FALSE(page.empty());
    EXPECT_TRUE(pixels(Path("clip_sorted.mkv"), 6) == page);
    EXPECT_TRUE(pixels(Path("clip_sorted.mkv"), 5) != page);
    Stop();

    for (int f = 1; f <= 3; ++f)
        WriteFile(Path("shot_000" + std::to_string(f) + ".png"), RandomImage(40, 30, 4, OIIO::TypeDesc::UINT8, f));
    Start(Path("shot_####.png"));
    command = Post("/api/command", json{{"params", params}, {"time", 3.0 / 24}});
    ASSERT_TRUE(command);
    ASSERT_EQ(command->status, 200);
    EXPECT_THAT(command->body, ::testing::HasSubstr(" -o shot_sorted_####.png "));
    frame = Post("/api/render", json{{"params", params}, {"time", 3.0 / 24}});
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->status, 200);
    EXPECT_EQ(frame->get_header_value("Content-Disposition"), "inline; filename*=UTF-8''shot_sorted_0003.png");
    run = RunCommand(command->body);
    ASSERT_EQ(run.exit_code, 0) << run.err << command->body;
    for (const char* name : {"shot_sorted_0001.png", "shot_sorted_0002.png"})
        EXPECT_TRUE(std::filesystem::exists(Path(name))) << name << " is missing after " << command->body;
    EXPECT_TRUE(ReadBytes(Path("shot_sorted_0003.png")) == frame->body);
}

// A clip's frames are those a decoder shows, at the clip's own times: a phone clip whose nominal
// rate (30) is not its average reports the average, and a stream-copy cut (packets kept only for
// reference) has its shown frames, every time up to and past its end finding one.
TEST_F(CliPreviewTest, ClipsAreTheFramesADecoderShowsAtTheirOwnRate) {
    const std::string phone = Path("phone.mp4");
    ASSERT_EQ(RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                    "testsrc2=s=40x30:r=30:d=4,setpts='if(lt(N\\,60)\\,N/30\\,2+(N-60)/10)/TB'",
                                    "-fps_mode", "passthrough", "-c:v", "libx264", "-pix_fmt", "yuv420p", phone})
                  .exit_code,
              0);
    const std::string whole = Path("long.mp4"), cut = Path("cut.mp4");
    ASSERT_EQ(RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=40x30:r=25:d=10",
                                    "-c:v", "libx264", "-g", "50", "-bf", "3", whole})
                  .exit_code,
              0);
    ASSERT_EQ(RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-ss", "1.5", "-i", whole, "-t", "6", "-c", "copy", cut})
                  .exit_code,
              0);

    Start(phone);
    auto input = Client().Get("/api/input", Auth());
    ASSERT_TRUE(input);
    json info = json::parse(input->body);
    EXPECT_EQ(info["frame_count"], 120);
    EXPECT_NEAR(info["fps"].get<double>(), 120.0 / 7.8, 0.01) << "the average rate, not the nominal 30";
    Stop();

    Start(cut);
    input = Client().Get("/api/input", Auth());
    ASSERT_TRUE(input);
    info = json::parse(input->body);
    EXPECT_EQ(info["frame_count"], 152);
    for (const double time : {0.0, 151 / 25.0, 7.0, 100.0}) {
        auto frame = Post("/api/render", json{{"params", json::object()}, {"time", time}, {"width", 20}});
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->status, 200) << "at " << time << " s: " << frame->body;
    }
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
