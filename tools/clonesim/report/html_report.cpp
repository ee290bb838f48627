#include "report/html_report.h"

#include "report/page_assets.h"
#include "report/page_data.h"
#include "texts/texts.h"
#include "trace/json_line.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace clonesim {

namespace {

void append_u_escape(std::string& out, unsigned unit)
{
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", unit & 0xFFFFu);
    out += text;
}

void append_code_point(std::string& out, char32_t cp)
{
    if (cp < 0x10000) {
        append_u_escape(out, static_cast<unsigned>(cp));
        return;
    }
    const char32_t v = cp - 0x10000;
    append_u_escape(out, static_cast<unsigned>(0xD800 + (v >> 10)));
    append_u_escape(out, static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
}

void append_ascii(std::string& out, unsigned char c)
{
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    case '<':
    case '>':
    case '&': append_u_escape(out, c); break;
    default:
        if (c < 0x20 || c == 0x7F)
            append_u_escape(out, c);
        else
            out += static_cast<char>(c);
    }
}

}  // namespace

std::string script_json_string(const std::string& bytes)
{
    // Valid UTF-8 from here on: the bytes that were not are characters of
    // the escape range now. Most texts are ASCII and need no escape.
    const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const std::string escaped = ascii ? std::string() : json_safe(bytes);
    const std::string& text = ascii ? bytes : escaped;
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            append_ascii(out, c);
            ++i;
            continue;
        }
        const auto character = kx::trace::decode_utf8(text, i);
        append_code_point(out, character.code);
        i += character.length == 0 ? 1 : character.length;
    }
    return out + "\"";
}

std::string html_report(const run_outcome& run, const verdict& decided)
{
    std::string data;
    write_page_data(run, decided, data);
    std::string page;
    page.reserve(data.size() + 64 * 1024);
    page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            // Nothing may be fetched: the page is passed around and opened
            // from disks and mail, and must show the same everywhere.
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<title>clonesim report</title>\n<style>\n";
    page += page_style();
    page += "</style>\n</head>\n<body>\n"
            "<noscript><p>This report draws itself with a script; allow scripts for this file.</p></noscript>\n"
            "<script type=\"application/json\" id=\"session-data\">";
    page += data;
    page += "</script>\n<script>\n";
    page += page_script();
    page += "</script>\n</body>\n</html>\n";
    return page;
}

void write_html_report(const run_outcome& run, const verdict& decided, const std::filesystem::path& file)
{
    write_text_file(file, html_report(run, decided), "HTML report");
}

void write_text_file(const std::filesystem::path& file, const std::string& text, const std::string& what)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) throw run_error("cannot write the " + what + " " + file.string());
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) throw run_error("cannot write the " + what + " " + file.string());
}

namespace {

// The first line of a trace is its header, which names the format.
bool starts_like_trace(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::string first(4096, '\0');
    in.read(first.data(), static_cast<std::streamsize>(first.size()));
    first.resize(static_cast<std::size_t>(in.gcount()));
    first = first.substr(0, first.find('\n'));
    const nlohmann::json header = nlohmann::json::parse(first, nullptr, false);
    return header.is_object() && header.contains("trace") && header["trace"] == "kxpdm-clone-trace";
}

}  // namespace

void check_writable(const std::filesystem::path& file, const std::string& what)
{
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec))
        throw run_error("cannot write the " + what + " " + file.string() + ": it is a folder");
    const bool existed = std::filesystem::exists(file, ec);
    // Opening a named pipe or a device would wait for its other end.
    if (existed && !std::filesystem::is_regular_file(file, ec))
        throw run_error("cannot write the " + what + " " + file.string() + ": it is not a regular file");
    // A recorded session cannot be recorded again: a report written over it
    // (a trace named by mistake, a glob that took it) loses it.
    if (existed && starts_like_trace(file))
        throw run_error("cannot write the " + what + " " + file.string() +
                        ": it is a recorded session trace, which the report would overwrite; name another file");
    // Appending leaves a file that is there as it is; one made only to try
    // goes again, so that a failed run leaves nothing behind.
    errno = 0;
    std::FILE* probe = std::fopen(file.string().c_str(), "ab");
    if (probe == nullptr) {
        const int reason = errno;
        throw run_error("cannot write the " + what + " " + file.string() + ": " +
                        (reason != 0 ? std::strerror(reason) : "the system gives no reason"));
    }
    std::fclose(probe);
    if (!existed) std::filesystem::remove(file, ec);
}

}  // namespace clonesim
