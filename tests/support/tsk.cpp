#include "support/tsk.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace tsk {

bool run(const std::string& command, std::string& out) {
    out.clear();
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return false;
    std::array<char, 65536> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    return ::pclose(p) == 0;
}

static std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

static std::string base(const std::string& tool, const std::string& image, uint64_t sector_offset) {
    return tool + " -f ntfs -o " + std::to_string(sector_offset) + " " + quote(image);
}

static bool after(const std::string& text, const std::string& label, std::string& rest) {
    const auto p = text.find(label);
    if (p == std::string::npos) return false;
    const auto e = text.find('\n', p);
    rest = text.substr(p + label.size(), e == std::string::npos ? std::string::npos : e - p - label.size());
    return true;
}

bool fsstat(const std::string& image, uint64_t sector_offset, fs_facts& f) {
    std::string out, v;
    if (!run(base("fsstat", image, sector_offset) + " 2>/dev/null", out)) return false;
    if (!after(out, "Cluster Size: ", v)) return false;
    f.cluster_size = std::strtoull(v.c_str(), nullptr, 10);
    if (after(out, "Sector Size: ", v)) f.sector_size = std::strtoull(v.c_str(), nullptr, 10);
    if (after(out, "Size of MFT Entries: ", v)) f.record_size = std::strtoull(v.c_str(), nullptr, 10);
    if (after(out, "First Cluster of MFT: ", v)) f.mft_first_cluster = std::strtoull(v.c_str(), nullptr, 10);
    if (after(out, "Range: 0 - ", v)) f.last_entry = std::strtoull(v.c_str(), nullptr, 10);
    if (after(out, "Total Cluster Range: 0 - ", v)) f.total_clusters = std::strtoull(v.c_str(), nullptr, 10) + 1;
    return true;
}

bool istat_data_clusters(const std::string& image, uint64_t sector_offset, uint64_t entry,
                         std::vector<uint64_t>& clusters) {
    clusters.clear();
    std::string out;
    if (!run(base("istat", image, sector_offset) + " " + std::to_string(entry) + " 2>/dev/null", out)) return false;
    std::istringstream in(out);
    std::string line;
    bool in_data = false;
    while (std::getline(in, line)) {
        if (line.rfind("Type: ", 0) == 0) {
            in_data = line.find("$DATA (128-") != std::string::npos && line.find("Name: N/A") != std::string::npos;
            continue;
        }
        if (!in_data) continue;
        std::istringstream words(line);
        std::string w;
        while (words >> w) {
            if (w.find_first_not_of("0123456789") != std::string::npos) {
                in_data = false;
                break;
            }
            clusters.push_back(std::strtoull(w.c_str(), nullptr, 10));
        }
    }
    return true;
}

bool fls(const std::string& image, uint64_t sector_offset, const std::string& extra, std::vector<fls_entry>& out) {
    out.clear();
    std::string text;
    if (!run(base("fls", image, sector_offset) + " " + extra + " 2>/dev/null", text)) return false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        // "r/r * 64-128-2:\tname" or "d/d 5-144-1:\tpath"
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::string head = line.substr(0, tab);
        fls_entry e;
        e.path = line.substr(tab + 1);
        std::istringstream hw(head);
        hw >> e.type;
        std::string tok;
        hw >> tok;
        if (tok == "*") {
            e.deleted = true;
            hw >> tok;
        }
        if (!tok.empty() && tok.back() == ':') tok.pop_back();
        e.entry = std::strtoull(tok.c_str(), nullptr, 10);
        const auto d1 = tok.find('-');
        if (d1 != std::string::npos) e.attr_type = static_cast<uint32_t>(std::strtoul(tok.c_str() + d1 + 1, nullptr, 10));
        out.push_back(std::move(e));
    }
    return true;
}

}  // namespace tsk
