#include "support/fls_tree.hpp"
#include "support/tsk.hpp"

namespace fls_tree {

bool read(const std::string& image, uint64_t byte_offset, tree& t) {
    std::vector<tsk::fls_entry> lines;
    if (!tsk::fls(image, byte_offset / 512, "-r -p", lines)) return false;
    std::map<std::string, uint64_t> dirs{{"", 5}};
    // Directories first, so every child finds its parent by path.
    for (const auto& e : lines)
        if (!e.deleted && e.type.size() == 3 && e.type[2] == 'd' && e.path.find(':') == std::string::npos)
            dirs[e.path] = e.entry;
    for (const auto& e : lines) {
        // Deleted names are in no directory index.
        if (e.deleted || e.type.empty()) continue;
        const bool maybe = e.type[0] == '-';
        std::string path = e.path;
        const auto slash = path.rfind('/');
        const auto colon = path.find(':', slash == std::string::npos ? 0 : slash);
        if (colon != std::string::npos) path.resize(colon);  // a stream of the entry
        // fls repeats a directory's own streams inside it as "dir/.:stream".
        if (path == "." || (path.size() >= 2 && path.compare(path.size() - 2, 2, "/.") == 0)) continue;
        if (path == "$OrphanFiles" || path.rfind("$OrphanFiles/", 0) == 0) continue;
        const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
        const auto d = dirs.find(parent);
        if (d == dirs.end()) continue;
        (maybe ? t.maybe_children : t.children)[d->second].insert(e.entry);
        std::string win = "\\" + path;
        for (auto& c : win)
            if (c == '/') c = '\\';
        (maybe ? t.maybe_paths : t.paths)[e.entry].insert(win);
    }
    for (const auto& [p, entry] : dirs) t.children[entry];
    return true;
}

}  // namespace fls_tree
