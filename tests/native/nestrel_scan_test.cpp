// The extraction's walk: its checkpoint, and trees deeper than the
// descriptors it keeps open.
#include "check.hpp"
#include "scratch.hpp"

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
    scratch::Directory s;
    for (int k = 0; k < 600; ++k)
        scratch::write(s / ((k % 2 ? "a/f" : "f") + std::to_string(k) + ".py"), "# c\n");
    scratch::write(s / "a/notes.md", "no language, still a file\n");
    int calls = 0;
    CHECK_EQ(scanned(s.path(), [&] { return ++calls, false; }).size(), 600u);
    CHECK_EQ(calls, 2);  // at the 256th and the 512th of 601 files
    CHECK_EQ(scanned(s.path(), [] { return true; }).size(), 255u);
}

TEST(a_tree_deeper_than_the_descriptors_kept_is_walked_whole_in_order) {
    scratch::Directory s;
    // A chain of 40 folders "d", each with a file and a folder "e" beside the
    // next "d", so that the walk climbs back through levels it closed.
    std::string path;
    std::map<std::string, int> depth_of;
    for (int depth = 0; depth < 40; ++depth) {
        scratch::write(s / (path + "f.py"), "# c\n");
        scratch::write(s / (path + "e/g.py"), "# c\n");
        depth_of[s / path + "f.py"] = depth;
        depth_of[s / path + "e/g.py"] = depth;
        path += "d/";
    }
    const std::vector<std::string> files = scanned(s.path());
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
