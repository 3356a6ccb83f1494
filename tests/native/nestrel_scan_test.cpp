// The extraction's walk: its checkpoint, and trees deeper than the
// descriptors it keeps open.
#include "check.hpp"

#include "nestrel/engine.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

struct Scratch {
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "orvo-scan-XXXXXX").string();
        root = ::mkdtemp(pattern.data()) ? pattern : "";
    }
    ~Scratch() { fs::remove_all(root); }
    void write(const std::string &name, const std::string &text) const {
        const fs::path path = fs::path(root) / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    std::string root;
};

// The files of the scan of `root`, in the order found.
std::vector<std::string> scanned(const std::string &root, const std::function<bool()> &checkpoint = {}) {
    std::vector<std::string> files;
    nestrel::scan(root, "/nowhere", {}, checkpoint, [&](const nestrel::FileResult &result) {
        files.push_back(result.file);
    });
    return files;
}

}  // namespace

TEST(the_checkpoint_comes_every_256_files_and_stops_the_scan) {
    Scratch s;
    for (int k = 0; k < 600; ++k)
        s.write((k % 2 ? "a/f" : "f") + std::to_string(k) + ".py", "# c\n");
    s.write("a/notes.md", "no language, still a file\n");
    int calls = 0;
    CHECK_EQ(scanned(s.root, [&] { return ++calls, false; }).size(), 600u);
    CHECK_EQ(calls, 2);  // at the 256th and the 512th of 601 files
    CHECK_EQ(scanned(s.root, [] { return true; }).size(), 255u);
}

TEST(a_tree_deeper_than_the_descriptors_kept_is_walked_whole_in_order) {
    Scratch s;
    // A chain of 40 folders "d", each with a file and a folder "e" beside the
    // next "d", so that the walk climbs back through levels it closed.
    std::string path;
    std::map<std::string, int> depth_of;
    for (int depth = 0; depth < 40; ++depth) {
        s.write(path + "f.py", "# c\n");
        s.write(path + "e/g.py", "# c\n");
        depth_of[s.root + "/" + path + "f.py"] = depth;
        depth_of[s.root + "/" + path + "e/g.py"] = depth;
        path += "d/";
    }
    const std::vector<std::string> files = scanned(s.root);
    CHECK_EQ(files.size(), 80u);
    std::map<std::string, std::size_t> position;
    for (std::size_t k = 0; k < files.size(); ++k)
        position[files[k]] = k;
    CHECK_EQ(position.size(), depth_of.size());
    // A folder's files come before everything in its subfolders.
    for (const auto &[file, depth] : depth_of) {
        CHECK(position.count(file) == 1);
        const std::string above = fs::path(file).parent_path().parent_path().string() + "/f.py";
        if (depth_of.count(above))
            CHECK(position[above] < position[file]);
    }
}
