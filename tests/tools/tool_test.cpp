// The kestovar command-line tool, run as a child process: each subcommand on small meshes, the
// JSON output, the exit codes and the one-line messages of bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kestovar/kestovar.h"

// GCC tells a sanitized build by these macros, clang by __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTOVAR_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTOVAR_TEST_SANITIZED 1
#endif
#endif
#ifndef KESTOVAR_TEST_SANITIZED
#define KESTOVAR_TEST_SANITIZED 0
#endif
#if defined(__SANITIZE_THREAD__)
#define KESTOVAR_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTOVAR_TEST_TSAN 1
#endif
#endif
#ifndef KESTOVAR_TEST_TSAN
#define KESTOVAR_TEST_TSAN 0
#endif

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kx_tool_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the tool with `args` (already quoted as needed); stdout and stderr are captured apart.
    // `env` is put before the command (variable assignments for the child).
    Outcome Kestovar(const std::string& args, const std::string& env = std::string()) {
        const fs::path out = dir_ / "stdout.txt", err = dir_ / "stderr.txt";
        const std::string command = env + "'" + KESTOVAR_TOOL + "' " + args + " >'" + out.string() + "' 2>'" +
                                    err.string() + "' </dev/null";
        Outcome r;
        const int raw = std::system(command.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }
    // Runs the tool, which must succeed.
    Outcome Succeed(const std::string& args, const std::string& env = std::string()) {
        Outcome r = Kestovar(args, env);
        EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
        return r;
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

const std::string kData = KESTOVAR_TEST_DATA;
const std::string kBunny = std::string(KESTOVAR_DATA) + "/bunny00.obj";
const std::string kSpider = std::string(KESTOVAR_DATA) + "/spider.obj";
// The last line of `compare`: the Hausdorff distance as a fraction of the diagonal.
const std::regex kHausdorffLine("Hausdorff distance: ([0-9.]+)  \\(of the diagonal\\)\n$");

// The relative Hausdorff distance `compare` prints last, or -1.
double HausdorffOf(const std::string& out) {
    std::smatch m;
    return std::regex_search(out, m, kHausdorffLine) ? std::stod(m[1]) : -1;
}

// A minimal structural check of a one-object JSON document: braces and brackets balance outside
// strings, strings close, and the document is one object.
bool LooksLikeJson(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    if (t.size() < 2 || t.front() != '{' || t.back() != '}') return false;
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '{' || c == '[') ++depth;
        else if (c == '}' || c == ']') {
            if (--depth < 0) return false;
            if (depth == 0 && i + 1 != t.size()) return false;
        }
        else if (c == 'n' && t.compare(i, 3, "nan") == 0) return false;  // not a JSON number
    }
    return depth == 0 && !inString;
}

// `err` is one line, which starts with `prefix`.
void ExpectOneLineStartingWith(const std::string& err, const std::string& prefix) {
    EXPECT_EQ(err.rfind(prefix, 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

// The number after "key": in a JSON text (first occurrence).
double JsonNumber(const std::string& json, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\": *(-?[0-9.eE+-]+)"))) return -1;
    return std::stod(m[1]);
}

// The geometry lines of an OBJ file (its material-library line names the file itself).
std::string Geometry(const std::string& path) {
    std::istringstream in(Slurp(path));
    std::string line, out;
    while (std::getline(in, line))
        if (line.rfind("v", 0) == 0 || line.rfind("f ", 0) == 0) out += line + "\n";
    return out;
}

TEST_F(Tool, ReduceByRatioWritesTheDefaultOutputAndCompareMeasuresIt) {
    const std::string input = Path("bunny.obj");
    fs::copy_file(kBunny, input);
    Outcome r = Succeed("reduce '" + input + "' --ratio 0.1 --json");
    EXPECT_TRUE(LooksLikeJson(r.out)) << r.out;
    const std::string output = Path("bunny-reduced.obj");
    ASSERT_TRUE(fs::exists(output));
    // Only the result (and its material library) is left beside the input: no temporary file.
    for (const auto& entry : fs::directory_iterator(dir_)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "bunny.obj" || name == "bunny-reduced.obj" || name == "bunny-reduced.mtl" ||
                    name.starts_with("std"))
            << name;
    }

    Outcome info = Succeed("info '" + output + "' --json");
    ASSERT_TRUE(LooksLikeJson(info.out)) << info.out;
    const double faces = JsonNumber(info.out, "faces");
    EXPECT_NEAR(faces, 7541, 80);  // a tenth of 75408
    EXPECT_EQ(JsonNumber(info.out, "non_manifold_edges"), 0);

    const double h = HausdorffOf(Succeed("compare '" + input + "' '" + output + "'").out);
    EXPECT_GT(h, 0.0);
    EXPECT_LT(h, 0.02);  // a tenth of the bunny stays close to its surface

    // --measure gives the same distance with the reduction.
    r = Succeed("reduce '" + input + "' --ratio 0.1 --json --measure");
    EXPECT_NEAR(JsonNumber(r.out, "hausdorff"), h, 1e-6) << r.out;
    r = Succeed("reduce '" + input + "' --ratio 0.1 --measure");
    EXPECT_NE(r.out.find("  Hausdorff distance to the input: 0.00"), std::string::npos) << r.out;
    EXPECT_EQ(Succeed("reduce '" + input + "' --ratio 0.1 --json").out.find("hausdorff"), std::string::npos);
}

TEST_F(Tool, ReduceToTotalsOverAMultiObjectSceneWithOptions) {
    const std::string out = Path("spider_small.obj");
    Outcome r = Succeed("reduce '" + kSpider + "' -o '" + out +
                     "' --faces 500 --keep borders,uv,materials --constrain corners --check flips,compactness "
                     "--symmetry x --threads 1 --json");
    ASSERT_TRUE(LooksLikeJson(r.out)) << r.out;
    Outcome info = Succeed("info '" + out + "' --json");
    EXPECT_NEAR(JsonNumber(info.out, "faces"), 500, 25);
    EXPECT_EQ(JsonNumber(info.out, "objects"), 19);  // every part kept, materials with them
    EXPECT_EQ(JsonNumber(info.out, "materials"), 4);

    // A point total, with the frozen-border and end-point modes.
    const std::string out2 = Path("spider_points.obj");
    r = Succeed("reduce '" + kSpider + "' -o '" + out2 + "' --points 400 --freeze borders --endpoints-only --quiet");
    EXPECT_EQ(r.out, "");  // --quiet
    info = Kestovar("info '" + out2 + "' --json");
    EXPECT_NEAR(JsonNumber(info.out, "points"), 400, 40);

    // A total at or above the scene's keeps the whole scene.
    for (const char* total : {"--faces 1312", "--faces 100000", "--points 746"}) {
        r = Succeed("reduce '" + kSpider + "' -o '" + out2 + "' --json " + total);
        EXPECT_NE(r.out.find("\"faces\": [1312, 1312], \"points\": [746, 746]"), std::string::npos) << total << r.out;
    }
}

// Faces per group ("g" or "o" line) of an OBJ file.
std::map<std::string, int> FacesPerGroup(const std::string& path) {
    std::istringstream in(Slurp(path));
    std::map<std::string, int> faces;
    std::string line, group;
    while (std::getline(in, line)) {
        if (line.rfind("g ", 0) == 0 || line.rfind("o ", 0) == 0) group = line.substr(2);
        if (line.rfind("f ", 0) == 0) ++faces[group];
    }
    return faces;
}

// Two wavy grids as two objects: "big" of 800 triangles and "small" of 50, apart.
void WriteBigAndSmallGrids(const std::string& path) {
    std::ofstream out(path);
    int base = 1;
    for (const auto& [name, n, offset] :
         {std::tuple<const char*, int, int>{"big", 21, 0}, {"small", 6, 40}}) {
        out << "o " << name << '\n';
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                out << "v " << x + offset << ' ' << y << ' ' << ((x * 7 + y * 13) % 5) * 0.1 << '\n';
        for (int y = 0; y + 1 < n; ++y)
            for (int x = 0; x + 1 < n; ++x) {
                const int a = base + y * n + x;
                out << "f " << a << ' ' << a + 1 << ' ' << a + n + 1 << ' ' << a + n << '\n';
            }
        base += n * n;
    }
}

// The wavy n x n grid as a triangle soup: every triangle with its own three points.
void WriteWavyGridSoup(const std::string& path, int n) {
    std::ofstream soup(path);
    int next = 1;
    for (int y = 0; y + 1 < n; ++y)
        for (int x = 0; x + 1 < n; ++x) {
            const int q[4][2] = {{x, y}, {x + 1, y}, {x + 1, y + 1}, {x, y + 1}};
            const int triangles[2][3] = {{0, 1, 2}, {0, 2, 3}};
            for (const auto& t : triangles) {
                for (int k = 0; k < 3; ++k) {
                    const int px = q[t[k]][0], py = q[t[k]][1];
                    soup << "v " << px << ' ' << py << ' ' << ((px * 7 + py * 13) % 5) * 0.1 << '\n';
                }
                soup << "f " << next << ' ' << next + 1 << ' ' << next + 2 << '\n';
                next += 3;
            }
        }
}

// A soup reduces apart into holes unless its points are welded first: the tool says so, and
// --weld gives the reduction of the grid with shared points.
TEST_F(Tool, TriangleSoupsAreNamedAndWeldedOnRequest) {
    const std::string soup = Path("soup.obj"), apart = Path("apart.obj"), welded = Path("welded.obj");
    WriteWavyGridSoup(soup, 21);
    Outcome r = Succeed("reduce '" + soup + "' -o '" + apart + "' --ratio 0.5 --json");
    ExpectOneLineStartingWith(r.err, "kestovar: " + soup + ": warning: most faces share no point");
    EXPECT_NE(r.err.find("1959 points lie exactly on another point"), std::string::npos) << r.err;
    EXPECT_GT(HausdorffOf(Kestovar("compare '" + soup + "' '" + apart + "'").out), 0.01);

    for (const char* option : {"--weld", "--join"}) {  // a joined object is welded too
        r = Succeed("reduce '" + soup + "' -o '" + welded + "' --ratio 0.5 --json " + option);
        EXPECT_EQ(r.err, "") << option;
        EXPECT_NE(r.out.find("\"points\": [441, "), std::string::npos) << r.out;  // 21 x 21 once welded
        EXPECT_EQ(JsonNumber(r.out, "welded_points"), 2400 - 441);
        EXPECT_EQ(HausdorffOf(Kestovar("compare '" + soup + "' '" + welded + "'").out), 0.0);
    }
    // lod takes it too.
    r = Succeed("lod '" + soup + "' -o '" + Path("levels") + "' --ratios 1 --weld --json");
    EXPECT_NE(r.out.find("\"points\": 441, \"welded_points\": 1959"), std::string::npos) << r.out;

    // Meshes whose faces share their points get no word, nor does a single polygon.
    EXPECT_EQ(Succeed("reduce '" + kSpider + "' -o '" + Path("s.obj") + "' --ratio 0.5 -q")
                  .err.find("share no point"),
              std::string::npos);
    std::ofstream(Path("square.obj")) << "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n";
    EXPECT_EQ(Succeed("reduce '" + Path("square.obj") + "' -o '" + Path("q.obj") + "' --ratio 0.5 -q").err,
              "");
}

// With --progressive the largest object follows the ratio and a smaller one is reduced only
// below a threshold set by its size (here about half), so it keeps more of its faces; a total
// of faces is still the scene's.
TEST_F(Tool, ProgressiveRatiosKeepSmallObjectsLonger) {
    const std::string input = Path("two.obj"), out = Path("out.obj");
    WriteBigAndSmallGrids(input);
    auto reduce = [&](const std::string& args) {
        EXPECT_EQ(Kestovar("reduce '" + input + "' -o '" + out + "' -q " + args).status, 0) << args;
        return FacesPerGroup(out);
    };
    std::map<std::string, int> plain = reduce("--ratio 0.7"),
                               progressive = reduce("--ratio 0.7 --progressive");
    EXPECT_LT(plain["small"], 50);
    EXPECT_EQ(progressive["small"], 50);
    EXPECT_EQ(progressive["big"], plain["big"]);

    plain = reduce("--ratio 0.3");
    progressive = reduce("--ratio 0.3 --progressive");
    EXPECT_GT(progressive["small"], plain["small"] + 10);
    EXPECT_LT(progressive["small"], 50);
    EXPECT_EQ(progressive["big"], plain["big"]);

    progressive = reduce("--faces 400 --progressive");
    EXPECT_NEAR(progressive["big"] + progressive["small"], 400, 4);
    EXPECT_GT(progressive["small"], reduce("--faces 400")["small"]);

    // lod takes it too: its levels are those of single reductions.
    ASSERT_EQ(
        Kestovar("lod '" + input + "' -o '" + Path("levels") + "' --ratios 0.3 --progressive -q").status, 0);
    EXPECT_EQ(FacesPerGroup(Path("levels/two-lod0.obj")), reduce("--ratio 0.3 --progressive"));
}

TEST_F(Tool, SameInputAndSettingsGiveTheSameFile) {
    const std::string a = Path("a.obj"), b = Path("b.obj");
    ASSERT_EQ(Kestovar("reduce '" + kSpider + "' -o '" + a + "' --ratio 0.3 --threads 1 -q").status, 0);
    ASSERT_EQ(Kestovar("reduce '" + kSpider + "' -o '" + b + "' --ratio 0.3 --threads 2 -q").status, 0);
    EXPECT_FALSE(Geometry(a).empty());
    EXPECT_EQ(Geometry(a), Geometry(b));
}

// The flip test is on unless --check says otherwise: the default run is the flips run, and
// without it the bunny at 10 % ends farther from its input (0.0021 against 0.0012 of the diagonal).
TEST_F(Tool, FlipTestIsOnUnlessChecksAreNamed) {
    auto reduce = [&](const std::string& name, const std::string& checks) {
        const std::string out = Path(name);
        EXPECT_EQ(Kestovar("reduce '" + kBunny + "' -o '" + out + "' --ratio 0.1 -q " + checks).status, 0);
        return std::make_pair(Geometry(out), HausdorffOf(Kestovar("compare '" + kBunny + "' '" + out + "'").out));
    };
    const auto byDefault = reduce("default.obj", "");
    const auto flips = reduce("flips.obj", "--check flips");
    const auto none = reduce("none.obj", "--check none");
    EXPECT_FALSE(byDefault.first.empty());
    EXPECT_EQ(byDefault.first, flips.first);
    EXPECT_NE(byDefault.first, none.first);
    EXPECT_GT(byDefault.second, 0.0);
    EXPECT_LT(byDefault.second, 0.0015);
    EXPECT_GT(none.second, 1.4 * byDefault.second);
}

// Levels played back from one optimisation, in any order, are the files single reductions give;
// going back up to 1 restores the original surface.
TEST_F(Tool, LodLevelsMatchSingleReductions) {
    Outcome r = Succeed("lod '" + kSpider + "' -o '" + Path("levels") + "' --ratios 0.5,0.1,1 --threads 1 -q");
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(fs::exists(Path("levels/spider-lod" + std::to_string(i) + ".obj"))) << i;
    ASSERT_EQ(Kestovar("reduce '" + kSpider + "' -o '" + Path("half.obj") + "' --ratio 0.5 --threads 1 -q").status, 0);
    ASSERT_EQ(Kestovar("reduce '" + kSpider + "' -o '" + Path("tenth.obj") + "' --ratio 0.1 --threads 1 -q").status, 0);
    EXPECT_EQ(Geometry(Path("levels/spider-lod0.obj")), Geometry(Path("half.obj")));
    EXPECT_EQ(Geometry(Path("levels/spider-lod1.obj")), Geometry(Path("tenth.obj")));
    r = Kestovar("compare '" + kSpider + "' '" + Path("levels/spider-lod2.obj") + "'");
    EXPECT_TRUE(r.out.ends_with("Hausdorff distance: 0.000000  (of the diagonal)\n")) << r.out;
    // A level asked for after a coarser one, or twice, is the same file (counts the contractions
    // step over were settled from the side the play came from: 646 or 666 faces at 0.5).
    r = Succeed("lod '" + kSpider + "' -o '" + Path("again") + "' --ratios 0.1,0.5,0.5,1,0.5 --threads 1 -q");
    for (int i : {1, 2, 4}) EXPECT_EQ(Geometry(Path("again/spider-lod" + std::to_string(i) + ".obj")), Geometry(Path("half.obj"))) << i;
    EXPECT_EQ(Geometry(Path("again/spider-lod0.obj")), Geometry(Path("tenth.obj")));

    // The JSON form: the input's counts and one record per level, in order.
    r = Succeed("lod '" + kSpider + "' -o '" + Path("levels") + "' --ratios 0.5,1 --threads 1 --json");
    EXPECT_TRUE(LooksLikeJson(r.out)) << r.out;
    EXPECT_EQ(JsonNumber(r.out, "faces"), 1312);
    EXPECT_NE(r.out.find("\"faces\": 1312, \"points\": 746, \"output\": \"" + Path("levels/spider-lod1.obj")),
              std::string::npos)
        << r.out;

    // --measure: each level's distance to the input, as compare gives it; none for an empty level.
    r = Succeed("lod '" + kSpider + "' -o '" + Path("measured") +
                "' --ratios 1,0.5,0 --threads 1 --measure --json");
    EXPECT_NE(r.out.find("\"hausdorff\": 0, \"output\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"hausdorff\": null"), std::string::npos) << r.out;
    const double half = HausdorffOf(Kestovar("compare '" + kSpider + "' '" + Path("half.obj") + "'").out);
    const size_t second = r.out.find("{\"ratio\": 0.5");
    ASSERT_NE(second, std::string::npos) << r.out;
    EXPECT_NEAR(JsonNumber(r.out.substr(second), "hausdorff"), half, 1e-6);
    r = Succeed("lod '" + kSpider + "' -o '" + Path("measured") + "' --ratios 0.5 --threads 1 --measure");
    EXPECT_NE(r.out.find("Hausdorff 0.0"), std::string::npos) << r.out;

    // Levels by totals: each the file reduce writes for that total.
    r = Succeed("lod '" + kSpider + "' -o '" + Path("counts") + "' --faces 800,300 --threads 1 --json");
    EXPECT_NE(r.out.find("{\"target_faces\": 800, \"faces\": "), std::string::npos) << r.out;
    ASSERT_EQ(
        Kestovar("reduce '" + kSpider + "' -o '" + Path("f300.obj") + "' --faces 300 --threads 1 -q").status,
        0);
    EXPECT_EQ(Geometry(Path("counts/spider-lod1.obj")), Geometry(Path("f300.obj")));
    Succeed("lod '" + kSpider + "' -o '" + Path("counts") + "' --points 200 --threads 1 -q");
    ASSERT_EQ(
        Kestovar("reduce '" + kSpider + "' -o '" + Path("p200.obj") + "' --points 200 --threads 1 -q").status,
        0);
    EXPECT_EQ(Geometry(Path("counts/spider-lod0.obj")), Geometry(Path("p200.obj")));

    EXPECT_EQ(Kestovar("lod '" + kSpider + "' --ratios 0.5").status, 1);  // no -o
    EXPECT_EQ(Kestovar("lod '" + kSpider + "' -o '" + Path("x") + "' --ratios 0.5 --faces 100").status, 1);
    EXPECT_EQ(Kestovar("lod '" + kSpider + "' -o '" + Path("x") + "' --faces 100,-1").status, 1);
    EXPECT_EQ(Kestovar("lod '" + kSpider + "' -o '" + Path("x") + "' --ratios 0.5,2").status, 1);
    EXPECT_EQ(Kestovar("lod '" + kSpider + "' -o '" + Path("x") + "' --ratios 0.5,,1").status, 1);
    EXPECT_EQ(Kestovar("lod '" + Path("missing.obj") + "' -o '" + Path("x") + "'").status, 2);
}

TEST_F(Tool, CompareOfAFileWithItselfIsZero) {
    Outcome r = Succeed("compare '" + kSpider + "' '" + kSpider + "'");
    EXPECT_NE(r.out.find("A -> B: max 0.000000"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("\nHausdorff distance: 0.000000  (of the diagonal)\n")) << r.out;
    r = Kestovar("compare '" + kSpider + "' '" + kSpider + "' --json");
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(LooksLikeJson(r.out)) << r.out;
    EXPECT_EQ(JsonNumber(r.out, "hausdorff"), 0.0);

    // Faces whose points all lie at one place give no scale to measure against: a one-line error.
    const std::string point = Path("point.obj");
    std::ofstream(point) << "v 1 1 1\nv 1 1 1\nv 1 1 1\nf 1 2 3\n";
    r = Kestovar("compare '" + point + "' '" + point + "'");
    EXPECT_EQ(r.status, 2);
    ExpectOneLineStartingWith(r.err, "kestovar: " + point + ": the comparison with " + point + " has no scale");
}

TEST_F(Tool, InfoCountsFacesBordersAndChannels) {
    Outcome r = Succeed("info '" + kSpider + "' --json");
    ASSERT_TRUE(LooksLikeJson(r.out)) << r.out;
    EXPECT_EQ(JsonNumber(r.out, "faces"), 1368);
    EXPECT_EQ(JsonNumber(r.out, "objects"), 19);
    EXPECT_EQ(JsonNumber(r.out, "materials"), 4);
    EXPECT_GT(JsonNumber(r.out, "border_edges"), 0);  // the spider's parts are open
    EXPECT_NE(r.out.find("\"UV\""), std::string::npos);
    // A closed mesh has no open border.
    r = Kestovar("info '" + kBunny + "' --json");
    EXPECT_EQ(JsonNumber(r.out, "border_edges"), 0);
    EXPECT_EQ(JsonNumber(r.out, "triangles"), 75408);
    // Edges count faces, not passes: a polygon that runs along the edge 1-2 twice is still alone
    // on each of its five edges, and three fins on one edge make it non-manifold.
    const std::string twice = Path("twice.obj"), fins = Path("fins.obj");
    std::ofstream(twice) << "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 1 2 4\n";
    r = Succeed("info '" + twice + "' --json");
    EXPECT_EQ(JsonNumber(r.out, "border_edges"), 5) << r.out;
    EXPECT_EQ(JsonNumber(r.out, "non_manifold_edges"), 0) << r.out;
    std::ofstream(fins) << "v 0 0 0\nv 1 0 0\nv 0 0 1\nv 1 0 1\nv 0 -1 0\nf 1 2 3\nf 1 2 4\nf 1 2 5\n";
    r = Succeed("info '" + fins + "' --json");
    EXPECT_EQ(JsonNumber(r.out, "border_edges"), 6) << r.out;
    EXPECT_EQ(JsonNumber(r.out, "non_manifold_edges"), 1) << r.out;
    // A file of points only: an object without faces, whose points all count, box included.
    const std::string cloud = Path("cloud.obj");
    std::ofstream(cloud) << "v 0 0 0\nv 1 2 3\nv -1 0 5\n";
    r = Succeed("info '" + cloud + "' --json");
    EXPECT_EQ(JsonNumber(r.out, "points"), 3);
    EXPECT_EQ(JsonNumber(r.out, "faces"), 0);
    EXPECT_NE(r.out.find("\"box\": [[-1, 0, 0], [1, 2, 5]]"), std::string::npos) << r.out;

    // Per object: the spider's 19 parts, the head with an open border, faces adding up.
    r = Succeed("info '" + kSpider + "' --objects --json");
    ASSERT_TRUE(LooksLikeJson(r.out)) << r.out;
    const size_t list = r.out.find("\"per_object\": [");
    ASSERT_NE(list, std::string::npos) << r.out;
    std::string rest = r.out.substr(list);
    int named = 0, faceSum = 0;
    for (size_t at = rest.find("\"name\": "); at != std::string::npos; at = rest.find("\"name\": ", at + 1)) {
        ++named;
        faceSum += int(JsonNumber(rest.substr(at), "faces"));
    }
    EXPECT_EQ(named, 19);
    EXPECT_EQ(faceSum, 1368);
    EXPECT_NE(
        rest.find(
            "{\"name\": \"Kopf\", \"points\": 57, \"faces\": 90, \"polygons\": 0, \"border_edges\": 24"),
        std::string::npos)
        << rest;
    EXPECT_EQ(Succeed("info '" + kSpider + "' --json").out.find("per_object"), std::string::npos);
    r = Succeed("info '" + kSpider + "' --objects");
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nKopf +57 +90 +0 +24 +0\n"))) << r.out;

    // Several files: one JSON line each, in order; a file that cannot be read is reported and
    // skipped, and the exit status says so at the end.
    const std::string missing = Path("missing.obj");
    r = Kestovar("info '" + cloud + "' '" + missing + "' '" + kSpider + "' --json");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kestovar: " + missing + ": no such file\n");
    const size_t newline = r.out.find('\n');
    ASSERT_NE(newline, std::string::npos) << r.out;
    const std::string first = r.out.substr(0, newline + 1), second = r.out.substr(newline + 1);
    ASSERT_TRUE(LooksLikeJson(first) && LooksLikeJson(second)) << r.out;
    EXPECT_EQ(JsonNumber(first, "points"), 3);
    EXPECT_EQ(JsonNumber(second, "faces"), 1368);
    // As text, one block a file with a blank line between.
    r = Succeed("info '" + cloud + "' '" + cloud + "'");
    EXPECT_NE(r.out.find("\n\nfile:"), std::string::npos) << r.out;
}

// The spider carries texture coordinates and normals: a plain reduction keeps both channels,
// --drop leaves the named ones out, and dropping then keeping again keeps them.
TEST_F(Tool, AttributesAreKeptUnlessDropped) {
    const std::string kept = Path("kept.obj"), dropped = Path("dropped.obj"), again = Path("again.obj");
    ASSERT_EQ(Kestovar("reduce '" + kSpider + "' -o '" + kept + "' --ratio 0.5 -q").status, 0);
    ASSERT_EQ(Kestovar("reduce '" + kSpider + "' -o '" + dropped + "' --ratio 0.5 -q --drop uv,normals").status, 0);
    ASSERT_EQ(Kestovar("reduce '" + kSpider + "' -o '" + again + "' --ratio 0.5 -q --drop uv,normals --keep uv").status, 0);
    Outcome r = Kestovar("info '" + kept + "' --json");
    EXPECT_NE(r.out.find("\"UV\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"Normals\""), std::string::npos) << r.out;
    r = Kestovar("info '" + dropped + "' --json");
    EXPECT_NE(r.out.find("\"channels\": []"), std::string::npos) << r.out;
    r = Kestovar("info '" + again + "' --json");
    EXPECT_NE(r.out.find("\"UV\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\"Normals\""), std::string::npos) << r.out;
    EXPECT_EQ(Kestovar("reduce '" + kSpider + "' --ratio 0.5 --drop wings").status, 1);

    // Vertex colours of an OBJ file go through the reduction into .3dif; an OBJ output cannot
    // hold them, which the tool says unless they are dropped.
    const std::string colored = kData + "/quirks/cube_with_vertexcolors.obj";
    r = Succeed("reduce '" + colored + "' -o '" + Path("c.3dif") + "' --ratio 0.5 -q");
    EXPECT_EQ(r.err, "");
    r = Succeed("info '" + Path("c.3dif") + "' --json");
    EXPECT_NE(r.out.find("\"VC\""), std::string::npos) << r.out;
    r = Succeed("reduce '" + colored + "' -o '" + Path("c.obj") + "' --ratio 0.5 -q");
    ExpectOneLineStartingWith(r.err,
                              "kestovar: " + Path("c.obj") + ": warning: the scene has vertex colours");
    r = Succeed("reduce '" + colored + "' -o '" + Path("c.3dif") + "' --ratio 0.5 -q --drop colors");
    EXPECT_EQ(r.err, "");
    r = Succeed("info '" + Path("c.3dif") + "' --json");
    EXPECT_EQ(r.out.find("\"VC\""), std::string::npos) << r.out;
    // lod writes its levels in the type asked for.
    r = Succeed("lod '" + colored + "' -o '" + Path("levels") + "' --ratios 1,0.5 --format 3dif -q");
    EXPECT_EQ(r.err, "");
    r = Succeed("info '" + Path("levels/cube_with_vertexcolors-lod1.3dif") + "' --json");
    EXPECT_NE(r.out.find("\"VC\""), std::string::npos) << r.out;
    EXPECT_EQ(JsonNumber(r.out, "faces"), 6);
}

// A sphere written as two OBJ groups that share the equator's points: each group is an object of
// its own with an open border there. By default the borders are held to their lines, so the two
// halves stay close; dropping that lets each half pull its side of the seam away. Either way each
// half thins its side of the seam on its own, so the tool names the seam unless the borders are
// frozen or the groups joined.
TEST_F(Tool, GroupsOfOneMeshStayTogetherByDefaultAndJoinOnRequest) {
    const std::string input = Path("sphere.obj");
    {
        std::ofstream obj(input);
        const int rings = 40, segments = 80;
        obj << "v 0 0 1\n";
        for (int r = 1; r < rings; ++r)
            for (int k = 0; k < segments; ++k) {
                const double t = M_PI * r / rings, p = 2 * M_PI * k / segments;
                obj << "v " << std::sin(t) * std::cos(p) << ' ' << std::sin(t) * std::sin(p) << ' ' << std::cos(t)
                    << '\n';
            }
        obj << "v 0 0 -1\n";
        const int south = 2 + (rings - 1) * segments;
        auto at = [&](int r, int k) { return 2 + (r - 1) * segments + (k % segments); };
        for (int half = 0; half < 2; ++half) {
            obj << (half ? "g south\n" : "g north\n");
            for (int r = half ? rings / 2 : 0; r < (half ? rings : rings / 2); ++r)
                for (int k = 0; k < segments; ++k) {
                    if (r == 0)
                        obj << "f 1 " << at(1, k) << ' ' << at(1, k + 1) << '\n';
                    else if (r == rings - 1)
                        obj << "f " << at(r, k) << ' ' << south << ' ' << at(r, k + 1) << '\n';
                    else
                        obj << "f " << at(r, k) << ' ' << at(r + 1, k) << ' ' << at(r + 1, k + 1) << ' ' << at(r, k + 1)
                            << '\n';
                }
        }
    }
    double distance[2];
    for (int drop = 0; drop < 2; ++drop) {
        const std::string output = Path(drop ? "dropped.obj" : "joined.obj");
        Outcome r = Succeed("reduce '" + input + "' -o '" + output + "' --ratio 0.1 -q" + (drop ? " --drop borders" : ""));
        ExpectOneLineStartingWith(
            r.err, "kestovar: " + input + ": warning: 2 objects meet along 80 open-border edges;");
        r = Succeed("compare '" + input + "' '" + output + "'");
        distance[drop] = HausdorffOf(r.out);
        ASSERT_GT(distance[drop], 0);
    }
    EXPECT_LT(distance[0], 0.5 * distance[1]) << distance[0] << " " << distance[1];

    // --join makes the halves one closed object, welded along the equator, for reduce and lod;
    // at full detail it is the input, face for face.
    const std::string joined = Path("one.obj");
    EXPECT_EQ(Succeed("reduce '" + input + "' -o '" + joined + "' --ratio 0.1 -q --join").err, "");
    EXPECT_EQ(Succeed("lod '" + input + "' -o '" + Path("levels") + "' --ratios 1 -q --join").err, "");
    EXPECT_EQ(
        Succeed("reduce '" + input + "' -o '" + Path("frozen.obj") + "' --ratio 0.1 -q --freeze borders").err,
        "");
    // Groups that touch at a corner only share no border edge.
    const std::string corner = Path("corner.obj");
    std::ofstream(corner) << "v 0 0 0\nv 1 0 0\nv 0 1 0\nv -1 0 0\nv 0 -1 0\ng a\nf 1 2 3\ng b\nf 1 4 5\n";
    EXPECT_EQ(Succeed("reduce '" + corner + "' -o '" + Path("c.obj") + "' --ratio 1 -q").err, "");
    for (const std::string& out : {joined, Path("levels/sphere-lod0.obj")}) {
        const std::string info = Succeed("info '" + out + "' --json").out;
        EXPECT_EQ(JsonNumber(info, "objects"), 1) << out;
        EXPECT_EQ(JsonNumber(info, "border_edges"), 0) << out;
    }
    EXPECT_EQ(HausdorffOf(Succeed("compare '" + input + "' '" + Path("levels/sphere-lod0.obj") + "'").out),
              0);
    EXPECT_EQ(FacesPerGroup(Path("levels/sphere-lod0.obj")).begin()->second, 2 * 80 * 39);
}

// Texture files are named relative to the OBJ file's folder: a result saved in another folder names
// them relative to its own, so that they are still found; absolute names stay as they are.
TEST_F(Tool, TextureNamesFollowTheOutputFolder) {
    fs::create_directories(dir_ / "in");
    fs::create_directories(dir_ / "out" / "deep");
    fs::copy_file(kSpider, dir_ / "in" / "spider.obj");
    // The spider's materials: names as Linux and Windows exporters write them.
    std::ofstream(dir_ / "in" / "spider.mtl") << "newmtl Skin\nKd 1 0 0\nmap_Kd tex/skin.png\n"
                                                 "newmtl BeinTex\nmap_Kd /textures/other.png\n"
                                                 "newmtl Augentex\nmap_Kd .\\maps\\eye.jpg\n"
                                                 "newmtl HLeibTex\nmap_Kd C:\\maps\\body.jpg\n"
                                                 "newmtl Root\nmap_Kd \\maps\\root.jpg\n"
                                                 "newmtl Drive\nmap_Kd D:rel.jpg\n";
    Outcome r = Succeed("reduce '" + Path("in/spider.obj") + "' -o '" + Path("out/deep/r.obj") + "' --ratio 0.5 -q");
    const std::string moved = Slurp(dir_ / "out" / "deep" / "r.mtl");
    EXPECT_NE(moved.find("map_Kd ../../in/tex/skin.png\n"), std::string::npos) << moved;
    EXPECT_NE(moved.find("map_Kd /textures/other.png\n"), std::string::npos) << moved;
    // Backslashes of a relative name are folder separators; a drive names an absolute place.
    EXPECT_NE(moved.find("map_Kd ../../in/maps/eye.jpg\n"), std::string::npos) << moved;
    EXPECT_NE(moved.find("map_Kd C:\\maps\\body.jpg\n"), std::string::npos) << moved;
    // So do a leading backslash (the drive's root) and a drive without one (its own folder).
    EXPECT_NE(moved.find("map_Kd \\maps\\root.jpg\n"), std::string::npos) << moved;
    EXPECT_NE(moved.find("map_Kd D:rel.jpg\n"), std::string::npos) << moved;
    // Beside the input, the names stay as written.
    r = Succeed("reduce '" + Path("in/spider.obj") + "' --ratio 0.5 -q");
    EXPECT_NE(Slurp(dir_ / "in" / "spider-reduced.mtl").find("map_Kd tex/skin.png\n"), std::string::npos);
}

// File names are UTF-8 whatever the process locale (the tool runs in the C locale here): a
// folder and a file named with accents, CJK characters and blanks are read, written and named
// in messages as they are.
TEST_F(Tool, NonAsciiFileNamesAreReadAndWritten) {
    const fs::path folder = dir_ / "d\u00e9j\u00e0 \u65e5\u672c";
    fs::create_directories(folder);
    const std::string input = (folder / "sp\u00efder 1.obj").string();
    fs::copy_file(kSpider, input);
    Outcome r = Succeed("reduce '" + input + "' --ratio 0.5 -q");
    const std::string output = (folder / "sp\u00efder 1-reduced.obj").string();
    ASSERT_TRUE(fs::exists(output));
    r = Succeed("info '" + output + "' --json");
    EXPECT_GT(JsonNumber(r.out, "faces"), 1368 / 3);  // reduced from the spider's 1368
    EXPECT_LT(JsonNumber(r.out, "faces"), 1368);
    EXPECT_EQ(JsonNumber(r.out, "materials"), 4);
    // A missing file is named in the message exactly as given.
    const std::string missing = (folder / "\u00f8.obj").string();
    r = Kestovar("info '" + missing + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("kestovar: " + missing + ": ", 0), 0u) << r.err;
}

// Plug-in formats: the tool loads the STL plug-in from the folder KESTOVAR_PLUGINS names, or by
// default from the build tree's, writes and reads .stl files through it, and without plug-ins
// does not know the extension.
TEST_F(Tool, PluginFormatsComeFromTheNamedOrTheDefaultFolder) {
#ifndef KESTOVAR_TEST_PLUGIN_DIR
    GTEST_SKIP() << "plug-ins not built";
#else
    const std::string named = std::string("KESTOVAR_PLUGINS='") + KESTOVAR_TEST_PLUGIN_DIR + "' ";
    const std::string stl = Path("bunny.stl");
    Outcome r = Succeed("reduce '" + kBunny + "' -o '" + stl + "' --ratio 0.1 --json", named);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("\"faces\": \\[[0-9]+, ([0-9]+)\\]"))) << r.out;
    const double written = std::stod(m[1]);
    for (const std::string& env : {named, std::string()}) {
        r = Succeed("info '" + stl + "' --json", env);
        EXPECT_EQ(JsonNumber(r.out, "faces"), written);
    }
    // Without the plug-in the extension is unknown, and the message lists what is known.
    r = Kestovar("info '" + stl + "'", "KESTOVAR_PLUGINS= ");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kestovar: " + stl + ": Unknown file type (scene files read: .3dif, .obj)\n");
    r = Kestovar("reduce '" + kSpider + "' -o '" + Path("out.xyz") + "' --ratio 0.5", named);
    EXPECT_EQ(r.err, "kestovar: " + Path("out.xyz") +
                         ": Unknown file type (scene files written: .3dif, .stl, .obj)\n");
#endif
}

// A mesh drawn at a tiny scale: every triangle's edge cross product is below the preparation's
// degeneracy bound, so all faces go. The run still succeeds, but says why the result is empty;
// an ordinary mesh gets no such line.
TEST_F(Tool, ReduceWarnsAboutScenesTooSmallForItsBoundsOrForObjText) {
    const std::string tiny = Path("tiny.obj");
    std::ofstream(tiny) << "v 0 0 0\nv 1e-9 0 0\nv 0 1e-9 0\nv 1e-9 1e-9 1e-9\nf 1 2 3\nf 2 4 3\n";
    Outcome r = Succeed("reduce '" + tiny + "' --ratio 0.5 --json");
    EXPECT_NE(r.err.find("kestovar: " + tiny + ": warning: all 2 faces were dropped as degenerate"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("\"faces\": [0, 0]"), std::string::npos) << r.out;
    r = Succeed("reduce '" + kSpider + "' -o '" + Path("spider.obj") + "' --ratio 0.5 -q");
    EXPECT_EQ(r.err.find("degenerate"), std::string::npos) << r.err;

    // A cube at 10 % (1.2 of 12 faces) contracts down to no face at all: the empty result is
    // written, with a word on why; at 50 % it keeps faces and says nothing. Its six quadrangles
    // are reduced as twelve triangles, and the table says where the twelve come from.
    const std::string cube = Path("cube.obj");
    std::ofstream(cube) << "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n"
                           "f 1 4 3 2\nf 5 6 7 8\nf 1 2 6 5\nf 2 3 7 6\nf 3 4 8 7\nf 4 1 5 8\n";
    r = Succeed("reduce '" + cube + "' -o '" + Path("cube-10.obj") + "' --ratio 0.1 -q");
    EXPECT_EQ(r.err, "kestovar: " + Path("cube-10.obj") +
                         ": warning: the reduced scene keeps no face of 12; ask for a larger ratio or a number of faces\n");
    // Asked for a total, the word is about the total: a closed mesh loses its faces two at a
    // time, so no level of the cube has one face.
    r = Succeed("reduce '" + cube + "' -o '" + Path("cube-1.obj") + "' --faces 1 -q");
    EXPECT_EQ(r.err,
              "kestovar: " + Path("cube-1.obj") +
                  ": warning: the reduced scene keeps no face of 12: every level with faces has more than 1 "
                  "face (one ratio applies to all objects, so small objects lose their last faces "
                  "together); ask for more faces\n");
    r = Succeed("reduce '" + cube + "' -o '" + Path("cube-0.obj") + "' --faces 0 -q");
    EXPECT_EQ(r.err, "");
    r = Succeed("reduce '" + cube + "' -o '" + Path("cube-50.obj") + "' --ratio 0.5");
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("  faces        12 ->        6\n         (6 in the file: polygons count as their triangles"),
              std::string::npos)
        << r.out;

    // A scene a few 1e-4 across keeps its faces, but OBJ text (six decimals) would round it
    // coarsely: saving it as OBJ says so, saving it as .3dif does not.
    const std::string small = Path("small.obj");
    std::ofstream(small) << "v 0 0 0\nv 1e-4 0 0\nv 0 1e-4 0\nv 1e-4 1e-4 1e-4\nf 1 2 3\nf 2 4 3\n";
    r = Succeed("reduce '" + small + "' -o '" + Path("small-out.obj") + "' --ratio 1 -q");
    EXPECT_EQ(r.err.rfind("kestovar: " + Path("small-out.obj") + ": warning: OBJ files keep six decimals", 0), 0u)
        << r.err;
    r = Succeed("reduce '" + small + "' -o '" + Path("small-out.3dif") + "' --ratio 1 -q");
    EXPECT_EQ(r.err, "");

    // A site 100 units across at survey coordinates (4 million units out): single precision
    // keeps steps of 0.25 there, which the warning names; the same site at the origin says nothing.
    const std::string site = Path("site.obj"), origin = Path("origin.obj");
    std::ofstream(site)
        << "v 4000000 0 0\nv 4000100 0 0\nv 4000000 100 0\nv 4000100 100 5\nf 1 2 3\nf 2 4 3\n";
    std::ofstream(origin) << "v 0 0 0\nv 100 0 0\nv 0 100 0\nv 100 100 5\nf 1 2 3\nf 2 4 3\n";
    r = Succeed("reduce '" + site + "' -o '" + Path("site-out.obj") + "' --ratio 1 -q");
    EXPECT_EQ(r.err.rfind("kestovar: " + site + ": warning: coordinates reach 4.0001e+06 for a scene", 0), 0u)
        << r.err;
    EXPECT_NE(r.err.find("keeps steps of 0.25 there"), std::string::npos) << r.err;
    EXPECT_EQ(Succeed("reduce '" + origin + "' -o '" + Path("origin-out.obj") + "' --ratio 1 -q").err, "");

    // A material library that is not there: the reduction goes on, and says so.
    const std::string lost = Path("lost.obj");
    std::ofstream(lost) << "mtllib nowhere.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl red\nf 1 2 3\n";
    r = Succeed("reduce '" + lost + "' -o '" + Path("lost-out.obj") + "' --ratio 1 -q");
    EXPECT_EQ(r.err, "kestovar: " + lost +
                         ": warning: material library \"nowhere.mtl\" not found: its materials keep default colours\n");

    // A coordinate beyond the float range reads as infinity: the reduction goes on, and says so.
    const std::string far = Path("far.obj");
    std::ofstream(far) << "v 1 0 0\nv -1 0 0\nv 0 1 0\nv 0 -1 0\nv 0 0 1\nv 0 0 -1e49\n"
                          "f 1 3 5\nf 3 2 5\nf 2 4 5\nf 4 1 5\nf 3 1 6\nf 2 3 6\nf 4 2 6\nf 1 4 6\n";
    // info counts such points apart and leaves them out of the box.
    Outcome farInfo = Succeed("info '" + far + "'");
    EXPECT_NE(farInfo.out.find("bounding box:        (-1, -1, 0) - (1, 1, 1)\n"), std::string::npos) << farInfo.out;
    EXPECT_NE(farInfo.out.find("non-finite points:   1\n"), std::string::npos) << farInfo.out;
    EXPECT_EQ(JsonNumber(Succeed("info '" + far + "' --json").out, "non_finite_points"), 1);
    r = Succeed("reduce '" + far + "' -o '" + Path("far-out.3dif") + "' --ratio 0.75 -q");
    EXPECT_EQ(
        r.err,
        "kestovar: " + far +
            ": warning: 1 point has a coordinate that is infinite or not a number; the faces around such "
            "points are reduced in no useful order and may spread such coordinates\n");
    // compare measures without the faces around it, and says so.
    const std::string near = Path("near.obj");
    std::ofstream(near)
        << "v 1 0 0\nv -1 0 0\nv 0 1 0\nv 0 -1 0\nv 0 0 1\nf 1 3 5\nf 3 2 5\nf 2 4 5\nf 4 1 5\n";
    // The chord's face has one far corner: none of it counts, not even its finite edge across
    // the pyramid's open base, so that what is left is the other file's surface.
    const std::string chord = Path("chord.obj");
    std::ofstream(chord) << "v 1 0 0\nv -1 0 0\nv 0 1 0\nv 0 -1 0\nv 0 0 1\nv 0 0 -1e49\n"
                            "f 1 3 5\nf 3 2 5\nf 2 4 5\nf 4 1 5\nf 1 2 6\n";
    r = Succeed("compare '" + chord + "' '" + near + "'");
    EXPECT_EQ(r.err,
              "kestovar: " + chord +
                  ": warning: 1 point has a coordinate that is infinite or not a number; the faces around "
                  "such points are left out of the comparison\n");
    EXPECT_EQ(HausdorffOf(r.out), 0.0) << r.out;
}

// Each kind of bad input: one line on stderr naming the file, the documented exit code, and no
// output file.
TEST_F(Tool, BadInputExitsWithOneLineNamingTheFile) {
    const std::string missing = Path("missing.obj");
    const std::string unknown = Path("mesh.xyz");
    const std::string malformed = Path("broken.obj");
    std::ofstream(unknown) << "not a mesh\n";
    std::ofstream(malformed) << "v 1 2 3\nf 1 2 9\n";
    for (const std::string& input : {missing, unknown, malformed}) {
        for (const std::string& command : {"info '" + input + "'", "reduce '" + input + "' --ratio 0.5",
                                           "compare '" + input + "' '" + kSpider + "'"}) {
            Outcome r = Kestovar(command);
            EXPECT_EQ(r.status, 2) << command;
            ExpectOneLineStartingWith(r.err, "kestovar: " + input + ": ");
            EXPECT_EQ(r.out, "");
        }
    }
    EXPECT_NE(Kestovar("info '" + unknown + "'").err.find("Unknown file type"), std::string::npos);
    // A malformed file: the reader's message and where the text went wrong.
    EXPECT_EQ(Kestovar("info '" + malformed + "'").err,
              "kestovar: " + malformed +
                  ": Bad file format (line 2: a face corner with vertex index 2, but the file has 1 \"v\" "
                  "lines)\n");
    // The usual reasons a file cannot be opened are named.
    EXPECT_EQ(Kestovar("info '" + missing + "'").err, "kestovar: " + missing + ": no such file\n");
    fs::create_directories(Path("folder.obj"));
    EXPECT_EQ(Kestovar("reduce '" + Path("folder.obj") + "' --ratio 0.5").err,
              "kestovar: " + Path("folder.obj") + ": is a folder, not a file\n");
    EXPECT_EQ(Kestovar("info /dev/null").err, "kestovar: /dev/null: is not a regular file\n");
    // A file of points only: nothing to reduce, and nothing written.
    const std::string cloud = Path("cloud.obj");
    std::ofstream(cloud) << "v 0 0 0\nv 1 2 3\n";
    Outcome cloudRun = Kestovar("reduce '" + cloud + "' --ratio 0.5");
    EXPECT_EQ(cloudRun.status, 2);
    EXPECT_EQ(cloudRun.err, "kestovar: " + cloud + ": the file holds no face to reduce\n");
    EXPECT_FALSE(fs::exists(Path("cloud-reduced.obj")));
    EXPECT_FALSE(fs::exists(Path("missing-reduced.obj")));
    EXPECT_FALSE(fs::exists(Path("broken-reduced.obj")));

    // An output that cannot be written, in a missing folder or in a format the library does not
    // write: input/output error (found before the optimisation), the message names the output.
    for (const std::string& output : {Path("no/such/dir/out.obj"), Path("out.xyz")}) {
        Outcome r = Kestovar("reduce '" + kSpider + "' -o '" + output + "' --ratio 0.5");
        EXPECT_EQ(r.status, 2);
        ExpectOneLineStartingWith(r.err, "kestovar: " + output + ": ");
        EXPECT_EQ(r.out, "");
        if (output.ends_with(".xyz")) {
            EXPECT_NE(r.err.find("Unknown file type"), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.err, "kestovar: " + output + ": the folder " + Path("no/such/dir") + " does not exist\n");
        }
    }
    // A folder in the output's place is named before the reduction, and left as it was; so is
    // one in the place of the material library an OBJ output writes beside it.
    Outcome r = Kestovar("reduce '" + kSpider + "' -o '" + Path("folder.obj") + "' --ratio 0.5");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kestovar: " + Path("folder.obj") + ": is a folder, not a file\n");
    EXPECT_TRUE(fs::is_directory(Path("folder.obj")));
    fs::create_directories(Path("lib.mtl"));
    r = Kestovar("reduce '" + kSpider + "' -o '" + Path("lib.obj") + "' --ratio 0.5");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kestovar: " + Path("lib.mtl") + ": is a folder, not a file\n");
    EXPECT_FALSE(fs::exists(Path("lib.obj")));

    // A name whose bytes are not UTF-8 would reach the library as another name: refused.
    const std::string latin1 = Path("caf\xE9.obj");
    fs::copy_file(kSpider, latin1);
    for (const std::string& command :
         {"info '" + latin1 + "'", "reduce '" + kSpider + "' --ratio 0.5 -o '" + latin1 + "'"}) {
        r = Kestovar(command);
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_EQ(r.err, "kestovar: " + latin1 + ": the name is not valid UTF-8\n") << command;
    }
    EXPECT_EQ(Slurp(latin1), Slurp(kSpider));

    // A failing lod leaves no folder it created behind, nor the levels it saved into one.
    for (const std::string& command :
         {"lod '" + missing + "' -o '" + Path("new/levels") + "' --ratios 0.5",
          "lod '" + kSpider + "' -o '" + Path("new/levels") + "' --ratios 0.5 --format xyz"}) {
        r = Kestovar(command);
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_FALSE(fs::exists(Path("new"))) << command;
    }
}

// A disk that fills up while the result is written (a file size limit stands in for it): the
// save fails with the library's message, the file it would have replaced keeps its content, and
// no temporary file is left beside it, in either of the library's own formats.
TEST_F(Tool, AFullDiskEndsTheSaveAndKeepsTheFileItWouldReplace) {
#if KESTOVAR_TEST_TSAN
    // Under ThreadSanitizer, LLVM's OpenMP runtime dies of SIGBUS at its start-up under a file
    // size limit (in its registration of the library, reading the shared-memory page it made).
    GTEST_SKIP() << "the OpenMP runtime cannot start under a file size limit with ThreadSanitizer";
#endif
    for (const std::string& name : {std::string("full.obj"), std::string("full.3dif")}) {
        const std::string output = Path(name);
        std::ofstream(output) << "old content\n";
        auto listing = [&] {  // the files of the folder besides the tool's captured output
            std::set<std::string> names;
            for (const auto& entry : fs::directory_iterator(dir_))
                names.insert(entry.path().filename().string());
            names.erase("stdout.txt");
            names.erase("stderr.txt");
            return names;
        };
        const std::set<std::string> before = listing();
        Outcome r = Kestovar("reduce '" + kBunny + "' -o '" + output + "' --ratio 0.5 -q",
                             "trap '' XFSZ; ulimit -f 64; exec ");
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_EQ(r.err, "kestovar: " + output + ": Disk full\n");
        EXPECT_EQ(Slurp(output), "old content\n");
        EXPECT_EQ(listing(), before);
    }
}

// Memory running out anywhere, from the reading to the saving: the tool exits with the
// input/output or the failure code and one printable line, never by a signal. The address space
// is limited from too little to start the process up to enough for the whole run. The failures
// the library raises while reducing (a worker thread that cannot start among them) leave the
// command through the library's own exception objects, which the tool must report before it
// closes the library (closing frees them).
TEST_F(Tool, RunningOutOfMemoryEndsInOneLineAtAnyPoint) {
#if KESTOVAR_TEST_SANITIZED
    GTEST_SKIP() << "a sanitizer reserves far more address space than any limit tried here";
#else
    // The spider is small enough to be read where the reduction's worker thread cannot start.
    const std::string output = Path("out.obj");
    int failures = 0, successes = 0;
    for (const std::string& input : {kBunny, kSpider}) {
        for (int megabytes = 8; megabytes <= 68; megabytes += input == kBunny ? 5 : 2) {
            const std::string limit = "ulimit -v " + std::to_string(megabytes * 1024) + "; exec ";
            Outcome r =
                Kestovar("reduce '" + input + "' -o '" + output + "' --ratio 0.1 -q --threads 1", limit);
            if (r.status == 127) continue;  // too little for the dynamic loader: the tool never ran
            ASSERT_GE(r.status, 0) << "ended by a signal at " << megabytes << " MB: " << r.err;
            if (r.status == 0) {
                ++successes;
                continue;
            }
            ++failures;
            EXPECT_TRUE(r.status == 2 || r.status == 4) << megabytes << " MB: " << r.status;
            // The spider's objects meet along a seam, which the tool names before it runs short.
            std::string failure = r.err;
            const std::string seam = "kestovar: " + kSpider + ": warning: 2 objects meet";
            if (failure.rfind(seam, 0) == 0) failure.erase(0, failure.find('\n') + 1);
            ExpectOneLineStartingWith(failure, "kestovar: ");
            for (char c : r.err)
                EXPECT_TRUE(c == '\n' || (c >= 32 && c < 127)) << megabytes << " MB: " << r.err;
        }
    }
    EXPECT_GT(failures, 0) << "no limit was low enough";
    EXPECT_GT(successes, 0) << "no limit was high enough";
#endif
}

TEST_F(Tool, BadUsageExitsWithOne) {
    const std::string s = "'" + kSpider + "'";
    for (const std::string& args :
         {std::string(""), std::string("frobnicate"), "reduce " + s,
          "reduce " + s + " --ratio 0.5 --faces 10", "reduce " + s + " --ratio 1.5",
          "reduce " + s + " --ratio abc", "reduce " + s + " --faces -3",
          "reduce " + s + " --ratio 0.5 --keep wings", "reduce " + s + " --ratio 0.5 --symmetry w",
          "reduce " + s + " --ratio 0.5 --check speed", "reduce " + s + " --ratio 0.5 --threads 0",
          "reduce " + s + " --ratio 0.5 --bogus", "reduce " + s + " --ratio 0.5 -o", "compare " + s,
          "compare " + s + " " + s + " " + s, std::string("info"), "info " + s + " --verbose",
          "lod " + s + " -o '" + Path("levels") + "' --format",
          "lod " + s + " -o '" + Path("levels") + "' --format obj/x",
          // An empty output (an unset variable in a script) is no request for the default one.
          "reduce " + s + " --ratio 0.5 -o ''", "lod " + s + " -o '' --ratios 0.5", std::string("demo a b 0"),
          // The distance is measured against the input file, which the output must not replace.
          "reduce '" + Path("self.obj") + "' --ratio 0.5 --measure -o '" + Path("self.obj") + "'"}) {
        fs::copy_file(kSpider, Path("self.obj"), fs::copy_options::overwrite_existing);
        Outcome r = Kestovar(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_FALSE(r.err.empty()) << args;
        EXPECT_EQ(Slurp(Path("self.obj")), Slurp(kSpider)) << args;
    }
    EXPECT_FALSE(fs::exists(Path("self-reduced.obj")));
    EXPECT_FALSE(fs::exists(std::string(KESTOVAR_DATA) + "/spider-reduced.obj"));
    // A count too large for the library names the largest one it takes.
    Outcome big = Kestovar("reduce " + s + " --points 99999999999");
    EXPECT_EQ(big.status, 1);
    EXPECT_EQ(big.err, "kestovar reduce: --points expects an integer from 0 to 2147483647, got '99999999999' "
                       "(see kestovar reduce --help)\n");
    // The range named is the option's own.
    EXPECT_EQ(Kestovar("reduce " + s + " --threads 0").err,
              "kestovar reduce: --threads expects an integer from 1 to 2147483647, got '0' (see kestovar "
              "reduce --help)\n");

    // An option the file cannot satisfy: OBJ files carry no node selection.
    Outcome r = Kestovar("reduce " + s + " -o '" + Path("sel.obj") + "' --ratio 0.5 --selection-only");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kestovar: " + kSpider + ": --selection-only: the file has no selected node\n");
    EXPECT_FALSE(fs::exists(Path("sel.obj")));
}

// A wavy n x n grid of quadrangles (2 (n-1)^2 triangles) as OBJ text.
void WriteWavyGrid(const std::string& path, int n) {
    std::ofstream grid(path);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) grid << "v " << x << ' ' << y << ' ' << ((x * 7 + y * 13) % 5) * 0.1 << '\n';
    for (int y = 0; y + 1 < n; ++y)
        for (int x = 0; x + 1 < n; ++x) {
            const int a = y * n + x + 1;
            grid << "f " << a << ' ' << a + 1 << ' ' << a + n + 1 << ' ' << a + n << '\n';
        }
}

// The point positions ("v" lines) of an OBJ file.
std::vector<std::array<double, 3>> Positions(const std::string& path) {
    std::istringstream in(Slurp(path));
    std::vector<std::array<double, 3>> points;
    std::string line;
    while (std::getline(in, line)) {
        std::array<double, 3> p;
        if (std::sscanf(line.c_str(), "v %lf %lf %lf", &p[0], &p[1], &p[2]) == 3) points.push_back(p);
    }
    return points;
}

// --keep, --constrain and --freeze set a feature's handling in place of its default: borders are
// constrained by default, and a freeze named on top of that must hold every border point where it
// is (in reduce and in lod), while an attribute frozen stays kept.
TEST_F(Tool, FeatureOptionsReplaceTheDefaultHandling) {
    const int n = 21;
    const std::string grid = Path("grid.obj");
    WriteWavyGrid(grid, n);
    std::vector<std::array<double, 3>> border;
    for (const auto& p : Positions(grid))
        if (p[0] == 0 || p[1] == 0 || p[0] == n - 1 || p[1] == n - 1) border.push_back(p);
    ASSERT_EQ(border.size(), 4u * (n - 1));

    Succeed("reduce '" + grid + "' -o '" + Path("default.obj") + "' --ratio 0.1 -q");
    EXPECT_LT(JsonNumber(Succeed("info '" + Path("default.obj") + "' --json").out, "border_edges"),
              4 * (n - 1));
    Succeed("reduce '" + grid + "' -o '" + Path("frozen.obj") + "' --ratio 0.1 -q --freeze borders");
    Succeed("lod '" + grid + "' -o '" + Path("levels") +
            "' --ratios 0.1 -q --constrain borders --freeze borders");
    for (const std::string& out : {Path("frozen.obj"), Path("levels/grid-lod0.obj")}) {
        EXPECT_EQ(JsonNumber(Succeed("info '" + out + "' --json").out, "border_edges"), 4 * (n - 1)) << out;
        const auto kept = Positions(out);
        for (const auto& b : border)
            EXPECT_TRUE(std::any_of(kept.begin(), kept.end(),
                                    [&](const auto& p) {
                                        return std::abs(p[0] - b[0]) < 1e-6 && std::abs(p[1] - b[1]) < 1e-6 &&
                                               std::abs(p[2] - b[2]) < 1e-6;
                                    }))
                << out << ": border point " << b[0] << ' ' << b[1] << " moved";
    }

    Succeed("reduce '" + kSpider + "' -o '" + Path("uv.obj") + "' --ratio 0.5 -q --freeze uv,materials");
    EXPECT_NE(Succeed("info '" + Path("uv.obj") + "' --json").out.find("\"UV\""), std::string::npos);
}

// The faces of one object in `info --objects --json` output, or -1.
int ObjectFaces(const std::string& json, const std::string& name) {
    std::smatch m;
    const std::regex pattern("\"name\": \"" + name + "\", \"points\": [0-9]+, \"faces\": ([0-9]+)");
    return std::regex_search(json, m, pattern) ? std::stoi(m[1]) : -1;
}

// --selection-only reduces the nodes a .3dif file has selected and leaves the others whole;
// --symmetry and --check take one choice; values the parse cannot hold are refused.
TEST_F(Tool, SelectionSymmetryChecksAndValuesOutOfRange) {
    const std::string selected = Path("selected.3dif");
    {
        kestovar::InitKestovarApplication(nullptr, kestovar::KESTOVAR_INIT_FORMATS, nullptr);
        kestovar::C3DIo reader(std::wstring(kSpider.begin(), kSpider.end()).c_str(),
                               kestovar::FILE_IO_LOADING);
        kestovar::C3DScene* scene = reader.Read();
        ASSERT_NE(scene, nullptr);
        int i = 0;
        for (kestovar::C3DNodePos pos = scene->GetFirstNode(kestovar::OBJECT_POLYMESH); pos; ++i) {
            kestovar::C3DGeomObject* object = nullptr;
            kestovar::C3DSceneNode* node = scene->GetNextNode(pos, object);
            if (i < 3) scene->Select(node, true);  // HLeib01, OK, Bein1Li
        }
        EXPECT_TRUE(kestovar::C3DIo(std::wstring(selected.begin(), selected.end()).c_str(), 0).Save(scene));
        delete scene;
        kestovar::CloseKestovarApplication();
    }
    const std::string before = Succeed("info '" + selected + "' --objects --json").out;
    Succeed("reduce '" + selected + "' -o '" + Path("some.3dif") + "' --ratio 0.2 -q --selection-only");
    const std::string after = Succeed("info '" + Path("some.3dif") + "' --objects --json").out;
    for (const char* name : {"HLeib01", "OK", "Bein1Li"})
        EXPECT_LT(2 * ObjectFaces(after, name), ObjectFaces(before, name)) << name << after;
    for (const char* name : {"Bein1Re", "Kopf", "Auge"}) {
        EXPECT_GT(ObjectFaces(after, name), 0) << name << after;
        EXPECT_EQ(ObjectFaces(after, name), ObjectFaces(before, name)) << name;
    }
    // A total counts the whole scene, the nodes left whole included.
    Outcome r = Succeed("reduce '" + selected + "' -o '" + Path("some.3dif") +
                        "' --faces 1212 --json --selection-only");
    std::smatch total;
    ASSERT_TRUE(std::regex_search(r.out, total, std::regex("\"faces\": \\[1312, ([0-9]+)\\]"))) << r.out;
    EXPECT_NEAR(std::stoi(total[1]), 1212, 4) << r.out;
    EXPECT_EQ(ObjectFaces(Succeed("info '" + Path("some.3dif") + "' --objects --json").out, "Kopf"),
              ObjectFaces(before, "Kopf"));

    // The spider is symmetric across z only: a later --symmetry replaces an earlier one.
    Succeed("reduce '" + kSpider + "' -o '" + Path("x.obj") + "' --ratio 0.1 -q --symmetry x");
    Succeed("reduce '" + kSpider + "' -o '" + Path("zx.obj") + "' --ratio 0.1 -q --symmetry z --symmetry x");
    Succeed("reduce '" + kSpider + "' -o '" + Path("z.obj") + "' --ratio 0.1 -q --symmetry z");
    EXPECT_TRUE(Geometry(Path("zx.obj")) == Geometry(Path("x.obj")));
    EXPECT_TRUE(Geometry(Path("z.obj")) != Geometry(Path("x.obj")));

    for (const char* args : {"--check flips,none", "--check none,compactness", "--ratio 1e-400"})
        EXPECT_EQ(Kestovar("reduce '" + kSpider + "' -o '" + Path("r.obj") + "' " + args).status, 1) << args;
    r = Kestovar("demo '" + kData + "' '" + Path("demo") + "' 0");
    EXPECT_NE(r.err.find("FACES expects an integer from 1 to"), std::string::npos) << r.err;

    // No finite point, no box.
    std::ofstream(Path("nan.obj")) << "v nan 0 0\nv 1 inf 0\nv 0 1 nan\nf 1 2 3\n";
    r = Succeed("info '" + Path("nan.obj") + "' --json");
    EXPECT_NE(r.out.find("\"box\": null"), std::string::npos) << r.out;
}

// Starts the tool with `args`, stdout and stderr opened as `outPath` and `errPath` (with
// `errFlags`), without waiting; its process id, or -1 when it could not start.
pid_t SpawnTool(std::vector<std::string> args, const char* outPath, int outFlags, const char* errPath, int errFlags) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath, outFlags, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath, errFlags, 0644);
    args.insert(args.begin(), KESTOVAR_TOOL);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, KESTOVAR_TOOL, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

// Runs the tool with `args`, stdout and stderr to the given files, sends it `signal` after 250 ms
// (`interrupts` times, 20 ms apart) and returns its exit code (-1 when a signal ended it).
int RunInterrupted(std::vector<std::string> args, const std::string& out, const std::string& err,
                   int interrupts = 1, int signal = SIGINT) {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    const pid_t pid = SpawnTool(std::move(args), out.c_str(), flags, err.c_str(), flags);
    if (pid < 0) return -2;
    // The interrupt is meant for the run, not for the start of a process that has no handler yet
    // (a loaded machine, a sanitizer build): wait until the tool catches SIGINT (the SigCgt mask
    // of its status; bit 1 is signal 2), for ten seconds at most, then let the run get going. The
    // tool takes its other signals at the same moment.
    for (int waited = 0; waited < 1000; ++waited) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        bool caught = false;
        while (std::getline(status, line))
            if (line.rfind("SigCgt:", 0) == 0)
                caught = (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1)) & 1;
        if (caught) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    for (int i = 0; i < interrupts; ++i) {
        if (i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::kill(pid, signal);
    }
    int raw = 0;
    if (::waitpid(pid, &raw, 0) != pid) return -2;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// Runs the tool with `args`, its stderr on a pseudo-terminal (so that it draws its progress
// bar) and stdout to /dev/null, and returns what it wrote there; sets `status` to its exit code.
std::string RunOnTerminal(std::vector<std::string> args, int& status) {
    status = -2;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "";
    const pid_t pid = SpawnTool(std::move(args), "/dev/null", O_WRONLY, ptsname(master), O_RDWR | O_NOCTTY);
    std::string text;
    if (pid >= 0) {
        // Reading ends with EIO once the tool has exited and closed the terminal.
        char buffer[4096];
        for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(got));
        int raw = 0;
        if (::waitpid(pid, &raw, 0) == pid) status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    ::close(master);
    return text;
}

// On a terminal the run says that it prepares the mesh until the mesh's range is known, on a
// line as wide as the bar's that then overwrites it, and the bar reaches 100 %.
TEST_F(Tool, ProgressBarSaysPreparingBeforeItsFirstPercent) {
    const std::string input = Path("grid.obj");
    WriteWavyGrid(input, 201);
    int status = 0;
    const std::string text =
        RunOnTerminal({"reduce", input, "-o", Path("grid-reduced.obj"), "--ratio", "0.1", "--threads", "1"}, status);
    if (status == -2) GTEST_SKIP() << "no pseudo-terminal";
    ASSERT_EQ(status, 0) << text;
    const size_t preparing = text.find("[preparing");
    const size_t firstPercent = text.find("%");
    ASSERT_NE(preparing, std::string::npos) << text;
    ASSERT_NE(firstPercent, std::string::npos) << text;
    EXPECT_LT(preparing, firstPercent);
    EXPECT_NE(text.find("100%"), std::string::npos);
    // The lines between carriage returns: the preparing one and the bars have one width.
    std::vector<size_t> widths;
    std::stringstream lines(text.substr(0, text.find('\n')));
    for (std::string line; std::getline(lines, line, '\r');)
        if (line.starts_with("mesh ")) widths.push_back(line.size());
    ASSERT_GE(widths.size(), 2u);
    for (size_t w : widths) EXPECT_EQ(w, widths.front());
}

// compare draws the progress of both directions on a terminal, nothing with -q or without a
// terminal, and its figures stay those of a run without a bar.
TEST_F(Tool, CompareDrawsTheProgressOfBothDirectionsOnATerminal) {
    int status = 0;
    const std::string text = RunOnTerminal({"compare", kSpider, kSpider}, status);
    if (status == -2) GTEST_SKIP() << "no pseudo-terminal";
    ASSERT_EQ(status, 0) << text;
    EXPECT_NE(text.find("\rA -> B [####################] 100%  B -> A [####################] 100%"),
              std::string::npos)
        << text;
    EXPECT_EQ(RunOnTerminal({"compare", kSpider, kSpider, "-q"}, status), "");
    EXPECT_EQ(status, 0);
    const Outcome plain = Succeed("compare '" + kSpider + "' '" + kSpider + "'");
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(HausdorffOf(plain.out), 0.0);
}

// Ctrl-C during a run: exit code 3, "cancelled" on stderr, and no output file. The input, a
// 320k-triangle grid, takes seconds, so the interrupt lands in the run. The demo stops at the
// interrupt instead of going on with its next file.
TEST_F(Tool, InterruptCancelsAndLeavesNoOutput) {
    const std::string input = Path("grid.obj"), output = Path("cancelled.obj");
    const std::string out = Path("stdout.txt"), errors = Path("stderr.txt");
    WriteWavyGrid(input, 401);
    int status = RunInterrupted({"reduce", input, "-o", output, "--ratio", "0.1", "--threads", "1", "-q"}, out, errors);
    ASSERT_NE(status, -1) << "killed by the signal";
    if (status == 0) GTEST_SKIP() << "the run ended before the interrupt";
    EXPECT_EQ(status, 3);
    EXPECT_NE(Slurp(errors).find("cancelled"), std::string::npos) << Slurp(errors);
    EXPECT_FALSE(fs::exists(output));
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_TRUE(entry.path().filename().string().starts_with("std") || entry.path() == input) << entry.path();

    // A second interrupt ends the run at once (or the first one's cancellation has already):
    // the cancelled exit either way, and still no output. SIGTERM (kill, timeout) and SIGHUP act
    // as Ctrl-C does.
    for (const auto& [interrupts, signal] :
         {std::pair{2, SIGINT}, std::pair{1, SIGTERM}, std::pair{1, SIGHUP}}) {
        status = RunInterrupted({"reduce", input, "-o", output, "--ratio", "0.1", "--threads", "1", "-q"},
                                out, errors, interrupts, signal);
        ASSERT_NE(status, -1) << "killed by signal " << signal;
        if (status == 0) continue;
        EXPECT_EQ(status, 3);
        EXPECT_TRUE(std::regex_search(Slurp(errors), std::regex("interrupted|cancelled"))) << Slurp(errors);
        EXPECT_FALSE(fs::exists(output));
    }
    // A signal the caller ignores (nohup) stays ignored: the run goes on to its output.
    const auto previous = std::signal(SIGHUP, SIG_IGN);
    status = RunInterrupted({"reduce", input, "-o", output, "--ratio", "0.1", "--threads", "1", "-q"}, out,
                            errors, 1, SIGHUP);
    std::signal(SIGHUP, previous);
    EXPECT_EQ(status, 0) << Slurp(errors);
    EXPECT_TRUE(fs::exists(output));
    fs::remove(output);

    fs::create_directories(dir_ / "samples");
    fs::rename(input, dir_ / "samples" / "a.obj");
    fs::copy_file(dir_ / "samples" / "a.obj", dir_ / "samples" / "b.obj");
    status = RunInterrupted({"demo", Path("samples"), Path("results")}, out, errors);
    ASSERT_NE(status, -1) << "killed by the signal";
    EXPECT_EQ(status, 3);
    const std::string said = Slurp(errors);
    EXPECT_EQ(said.find("cancelled"), said.rfind("cancelled")) << said;  // one run cancelled, no more
    EXPECT_FALSE(fs::exists(Path("results/b-10pct.obj")));
}

TEST_F(Tool, DemoReducesEverySampleTwiceAndMeasuresIt) {
    const fs::path data = dir_ / "data";
    fs::create_directories(data);
    fs::copy_file(kSpider, data / "spider.obj");
    fs::copy_file(std::string(KESTOVAR_DATA) + "/spider.mtl", data / "spider.mtl");
    Outcome r = Succeed("demo '" + data.string() + "' '" + Path("out") + "' 500");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("spider-10pct.obj +1312 +([0-9]+) .* ([0-9.]+)\n"))) << r.out;
    // The ratio applies to each of the 19 parts, rounded per part: about a tenth in total.
    EXPECT_GT(std::stod(m[1]), 60);
    EXPECT_LE(std::stod(m[1]), 140);
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("spider-500f.obj +1312 +([0-9]+) "))) << r.out;
    EXPECT_NEAR(std::stod(m[1]), 500, 25);
    EXPECT_TRUE(fs::exists(Path("out/spider-10pct.obj")));
    EXPECT_TRUE(fs::exists(Path("out/spider-500f.obj")));
    // What the input itself gives rise to (its parts meet along seams) is said once, not per pass.
    ExpectOneLineStartingWith(r.err,
                              "kestovar: " + (data / "spider.obj").string() + ": warning: 2 objects meet");
    EXPECT_EQ(Kestovar("demo '" + Path("nothing") + "' '" + Path("out") + "'").status, 2);
}

TEST_F(Tool, HelpAndVersion) {
    for (const char* args :
         {"--help", "reduce --help", "lod --help", "compare -h", "info --help", "demo --help"}) {
        Outcome r = Kestovar(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out.rfind("usage: kestovar", 0), 0u) << args;
    }
    Outcome r = Kestovar("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("kestovar [0-9]+\\.[0-9]+.*\n")));
}

}  // namespace
