#include "cli/options.hpp"
#include "storage/container.hpp"
#include "storage/partitions.hpp"

#include "cli/filter.hpp"
#include "cli/report.hpp"
#include "cli/text.hpp"
#include "output/datetime.hpp"
#include "output/sinks.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <algorithm>

namespace {

// Host paths keep '/' on POSIX; Windows paths use '\'.
std::string host_path_separators(std::string path) {
    if (platform::host_separator == u'\\') std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

void fill_identity(cmd_params& p, const arg_list& args) {
    if (p.command_line.empty()) {
        for (size_t i = 0; i < args.size(); ++i) {
            if (i) p.command_line += ' ';
            const bool quote = args[i].find(' ') != std::string::npos;
            if (quote) p.command_line.push_back('"');
            p.command_line.append(args[i]);
            if (quote) p.command_line.push_back('"');
        }
    }
    if (p.program_name.empty()) {
        std::string name = args[0];
        const size_t slash = name.find_last_of("\\/");
        if (slash != std::string::npos) name.erase(0, slash + 1);
        const size_t dot = name.find('.');
        if (dot != std::string::npos) name.erase(dot);
        p.program_name = name;
    }
}

void take_diags(cmd_params& p, arg_list& args) {
    std::string path;
    if (!take_value(args, "-diags", path)) return;
    p.diag_stream = open_text_output(path, true);
    if (!p.diag_stream) {
        p.diag_log_path.clear();
    } else {
        p.diag_log_path = path;
        p.diag_enabled = 1;
        *p.diag_stream << "->" << p.command_line << '\n';
        p.diag_stream->flush();
    }
    if (take_flag(args, "-l2")) p.diag_level = 2;
    else if (take_flag(args, "-l3")) p.diag_level = 3;
}

void take_output_formats(cmd_params& p, arg_list& args) {
    // -csvgen is looked at before -csv so that both on one line leave both
    // flags set.
    if (take_flag(args, "-csvgen")) {
        p.xml = p.csv = p.csvl2t = p.bodyfile = p.multiline = 0;
        p.csvgen = 1;
        p.dates_split = 1;
        set_separator(p, ",");
    }
    if (take_flag(args, "-csv")) {
        p.xml = p.csvl2t = p.bodyfile = p.multiline = 0;
        p.csv = 1;
        p.dates_split = p.pair_datetime ? 0 : 1;
        set_separator(p, ",");
    }
    if (take_flag(args, "-csvl2t")) {
        p.xml = p.csv = p.csvgen = p.bodyfile = p.multiline = 0;
        p.csvl2t = 1;
        p.header_pending = 1;
        set_separator(p, ",");
    }
    if (take_flag(args, "-bodyfile")) {
        p.xml = p.csv = p.csvl2t = p.csvgen = p.multiline = 0;
        p.bodyfile = 1;
        p.header_pending = 1;
        set_separator(p, "|");
    }
    if (take_flag(args, "-xml")) {
        p.csv = p.csvl2t = p.csvgen = p.bodyfile = p.multiline = 0;
        p.xml = 1;
        p.header_pending = 0;
        set_separator(p, "");
    }
    if (take_flag(args, "-multiline")) {
        p.xml = p.csv = p.csvl2t = p.csvgen = p.bodyfile = 0;
        p.multiline = 1;
        p.header_pending = 1;
        p.separator.clear();
        p.field_escape[0] = p.field_escape[1] = 0;
    }
}

bool report_imbalanced() {
    report_error("%s, aborting\n", "imbalanced alias to true pathfiles");
    return false;
}

bool take_aliases(cmd_params& p, arg_list& args) {
    std::string value;
    if (take_value(args, "-alias", value)) {
        const std::vector<std::string> pieces = split_list(value, "|");
        if (pieces.size() % 2 != 0) return report_imbalanced();
        for (size_t i = 0; i + 1 < pieces.size(); i += 2)
            p.aliases[uni::ascii_lower(pieces[i])] = expand_env_path(pieces[i + 1], true);
    }
    if (take_value(args, "-aliaspath", value)) {
        if (value.find('|') == std::string::npos) {
            p.alias_paths["*"] = expand_env_path(value, true);
            return true;
        }
        const std::vector<std::string> pieces = split_list(value, "|");
        if (pieces.size() % 2 != 0) return report_imbalanced();
        auto drop_trailing_backslash = [](std::string s) {
            if (!s.empty() && s.back() == '\\') s.pop_back();
            return s;
        };
        for (size_t i = 0; i + 1 < pieces.size(); i += 2) {
            std::string target = pieces[i + 1];
            target.erase(std::remove(target.begin(), target.end(), '"'), target.end());
            p.alias_paths[drop_trailing_backslash(uni::ascii_lower(pieces[i]))] = drop_trailing_backslash(target);
        }
    }
    return true;
}

uint32_t number_or(std::string_view text, uint32_t fallback) {
    uint64_t v = 0;
    return parse_number(text, v) ? static_cast<uint32_t>(v) : fallback;
}

void take_stored_options(cmd_params& p, arg_list& args) {
    std::string value;
    if (take_value(args, "-signal", value)) p.done_event_name = value;
    if (take_value(args, "-hostname", value)) {
        p.hostname = value;
        p.has_hostname = 1;
    }
    if (take_flag(args, "-split_pathfile")) p.split_pathfile = 1;
    if (take_value(args, "-username", value)) {
        p.username = value;
        p.has_username = 1;
    }
    if (take_value(args, "-cpuinst", value)) p.cpu_inst = number_or(value, p.cpu_inst);
    if (take_value(args, "-cpu", value)) p.cpu = number_or(value, p.cpu);
    if (take_value(args, "-fragment_files", value)) {
        p.fragment_size = number_or(value, 0);
        p.fragment_files = 1;
    }
    if (take_flag(args, "-separate_files")) p.fragment_files = 1;
}

bool take_results_file(cmd_params& p, arg_list& args) {
    std::string value;
    if (!take_value(args, "-out", value) && !take_value(args, "-outfile", value)) {
        // Standing last without its file name, the option would leave the
        // results on the console and no file where one was asked for: the
        // run ends as one with -xml standing last does.
        const bool out = has_arg(args, "-out");
        if (!out && !has_arg(args, "-outfile")) return true;
        report_error("option requires an output file: %s <output file>\n", out ? "-out" : "-outfile");
        return false;
    }
    p.out_path = host_path_separators(expand_env_path(value, true));
    p.out_to_file = 1;
    // Probe that the file can be created; the run flow creates it again.
    const bool append = has_arg(args, "-append");
    const std::u16string wide = uni::to_utf16(p.out_path);
    FileIo probe;
    bool ok = !wide.empty() && probe.open_text_write(wide, !append);
    if (!ok && append) ok = !wide.empty() && probe.open_text_write(wide, true);
    if (!ok) {
        report_error("prob opening file %s for output, aborting\n", p.out_path.c_str());
        return false;
    }
    probe.close();
    // Only a plain file is taken away: the name of a device, a pipe or a
    // link (standard output's, say) stays as it is, to be opened again.
    if (platform::is_plain_file(wide)) platform::remove_file(wide);
    return true;
}

void take_folders(cmd_params& p, arg_list& args) {
    std::string value;
    if (take_value(args, "-outdir", value)) {
        p.outdir_path = expand_env_path(value, true);
        p.outdir_set = 1;
    }
    if (take_value(args, "-enumdir", value)) {
        p.enumdir_path = expand_env_path(value, true);
        p.enumdir_set = 1;
    }
    if (take_value(args, "-num_subdirs", value)) p.num_subdirs = number_or(value, 0);
}

void take_filters(cmd_params& p, arg_list& args) {
    std::string value;
    while (take_value(args, "-filter", value)) {
        parse_filter_value(value, p.filters);
        std::string path;
        if (!p.filters.empty() && take_value(args, "-filter_path", path)) {
            const std::u16string lowered = uni::wide_lower(uni::to_utf16(path));
            for (auto& e : p.filters) {
                e.path_filter = lowered;
                e.path_filter_length = lowered.size();
            }
        }
    }
    while (take_value(args, "-filter_sig", value)) {
        filter_element e;
        if (parse_filter_sig(value, e)) p.filters.push_back(std::move(e));
    }
}

bool take_time_window(cmd_params& p, arg_list& args) {
    std::string value;
    if (take_value(args, "-cmd_start_time", value)) {
        time_bound b;
        const auto r = parse_time_bound(value, false, b);
        if (r == time_bound_result::malformed) return false;
        if (r == time_bound_result::set) p.time_from = b;
        else report_error("invalid start time, ignoring\n");
    }
    if (take_value(args, "-cmd_stop_time", value)) {
        time_bound b;
        const auto r = parse_time_bound(value, true, b);
        if (r == time_bound_result::malformed) return false;
        if (r == time_bound_result::set && !(p.time_from.valid && p.time_from.filetime > b.filetime)) p.time_to = b;
        else report_error("invalid stop time, ignoring\n");
    }
    return true;
}

void report_bad_template(const std::string& value) {
    const std::string message = "invalid " + value + ", using default format";
    report_error("%s\n", message.c_str());
}

void take_templates(cmd_params& p, arg_list& args) {
    std::string value;
    if (take_value(args, "-dateformat", value)) {
        if (date_template_acceptable(value)) p.date_format = uni::ascii_lower(value);
        else report_bad_template(value);
    }
    if (take_value(args, "-timeformat", value)) {
        if (time_template_acceptable(value)) p.time_format = uni::ascii_lower(value);
        else report_bad_template(value);
    }
}

// A date template of an accepted length whose day, month and year stand
// in an order that cannot be written (yyyy/dd/mm, or a month name after
// the year) leaves every date of the listing empty: said once, so that the
// empty column is not taken for times the entries lack.
void report_dateless_template(const cmd_params& p) {
    constexpr uint64_t a_valid_time = 133500000000000000ULL;  // 2024-01-17 21:20
    if (p.date_format.empty() || !format_date_time(to_calendar(a_valid_time), p.format_word).date.empty()) return;
    report_error("date format %s orders its day, month and year in a way that cannot be written: dates are left empty\n",
                 p.date_format.c_str());
}

}  // namespace

void set_separator(cmd_params& params, std::string_view text) {
    params.separator = std::string(text);
    const std::string lowered = uni::ascii_lower(text);
    if (lowered.find('|') != std::string::npos) {
        params.field_escape[0] = '|';
        params.field_escape[1] = ';';
    } else if (lowered.find(',') != std::string::npos) {
        params.field_escape[0] = ',';
        params.field_escape[1] = ' ';
    } else {
        if (lowered.find("tab") != std::string::npos || lowered.find("\\t") != std::string::npos) params.separator.assign(1, '\t');
        params.field_escape[0] = params.field_escape[1] = 0;
    }
}

bool parse_common_options(cmd_params& p, arg_list& args) {
    if (args.empty()) return false;
    fill_identity(p, args);
    if (take_flag(args, "-pair_datetime")) p.pair_datetime = 1;
    take_diags(p, args);
    take_output_formats(p, args);
    if (!take_aliases(p, args)) return false;

    std::string value;
    if (take_flag(args, "-gzip")) p.compress = p.gzip = 1;
    if (take_flag(args, "-zlib")) p.compress = p.zlib = 1;
    if (take_value(args, "-threads", value)) {
        int32_t n = 0;
        if (parse_int(value, n)) p.threads = n;
    }
    if (take_value(args, "-zlibex", value)) {
        p.compress = p.zlibex = 1;
        p.zlibex_arg = value;
    }
    if (take_value(args, "-sqlite_log", value) || take_value(args, "-sqlite", value)) {
        report_error("This option is not offered in this build\n");
        return false;
    }
    take_stored_options(p, args);
    if (!take_results_file(p, args)) return false;
    take_folders(p, args);
    if (take_flag(args, "-profile")) p.profile = 1;
    if (take_flag(args, "-pipe")) p.pipe = 1;
    take_filters(p, args);
    if (!take_time_window(p, args)) return false;
    if (take_flag(args, "-base10")) p.base16 = 0;
    if (take_flag(args, "-base16")) p.base16 = 1;
    // An empty separator would run every field into the next, past telling
    // apart: the layout's own separator stays.
    if (take_value(args, "-csv_separator", value)) {
        if (value.empty()) report_error("invalid csv separator: empty, ignoring\n");
        else set_separator(p, value);
    }
    if (take_flag(args, "-no_whitespace")) {
        p.dates_split = 1;
        p.pad_fields = 0;
        // The spaces around the separator go; a separator of spaces only
        // stays, as without it the fields would run together.
        std::string kept = p.separator;
        kept.erase(std::remove(kept.begin(), kept.end(), ' '), kept.end());
        if (!kept.empty() || p.separator.empty()) p.separator = kept;
    }
    take_templates(p, args);
    if (take_flag(args, "-verbose") || take_flag(args, "-v")) p.verbose = 1;
    if (take_flag(args, "-quiet")) p.progress = 0;
    p.format_word = compile_formats(p.date_format, p.time_format, p.pair_datetime != 0);
    report_dateless_template(p);
    return true;
}

bool take_vmdk_option(brelvik_opts& opts, arg_list& args) {
    std::string value;
    bool any = false;
    while (take_value(args, "-vmdk", value)) {
        if (!any) {
            for (const auto& piece : split_list(value, "|,;")) opts.vmdk_files.push_back(uni::to_utf16(piece));
        } else {
            opts.vmdk_files.push_back(uni::to_utf16(value));
        }
        any = true;
    }
    if (!any) return true;
    if (take_value(args, "-offset", value)) {
        uint64_t offset = 0;
        if (!parse_number(value, offset)) {
            report_error("invalid volume offset specified: %s\n", value.c_str());
            return false;
        }
        opts.vmdk_offset = offset;
    }
    const bool had_offset = opts.vmdk_offset != 0;
    const bool ignore_size = had_offset && take_flag(args, "-ignore_image_size");
    vmdk_probe probe;
    // Without an offset the NTFS partition the probe names is listed; an
    // offset the user gave must itself be the volume, or the run would list
    // another one than asked for.
    if (probe_vmdk_volume(opts.vmdk_files, opts.vmdk_offset, ignore_size, probe) &&
        (!had_offset || probe.volume_found))
        return true;
    report_error("%s\n", probe.messages.c_str());
    if (!probe.chain_opened && !probe.suggested.empty())
        report_error("%s", suggested_array_line(probe.suggested).c_str());
    return false;
}

bool outputs_spare_inputs(const arg_list& args, const std::string& xml_name) {
    // Looked up as the run takes them, on a copy: nothing is removed.
    arg_list rest = args;
    std::string value;
    std::vector<std::string> outputs;
    if (!xml_name.empty()) outputs.push_back(xml_name);
    if (take_value(rest, "-out", value) || take_value(rest, "-outfile", value))
        outputs.push_back(host_path_separators(expand_env_path(value, true)));
    if (take_value(rest, "-diags", value)) outputs.push_back(value);
    if (outputs.empty()) return true;
    std::vector<std::u16string> inputs;
    if (take_value(rest, "-image", value)) inputs = image_files(uni::to_utf16(value));
    for (bool first = true; take_value(rest, "-vmdk", value); first = false) {
        if (!first) {
            inputs.push_back(uni::to_utf16(value));
            continue;
        }
        for (const auto& piece : split_list(value, "|,;")) inputs.push_back(uni::to_utf16(piece));
    }
    for (const std::string& out : outputs) {
        const std::u16string wide = uni::to_utf16(out);
        for (const std::u16string& in : inputs) {
            if (wide.empty() || !platform::same_file(wide, in)) continue;
            report_error("prob opening file %s for output: it is a file of the image being read, aborting\n",
                         out.c_str());
            return false;
        }
    }
    return true;
}
