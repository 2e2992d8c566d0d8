#include "report.h"

#include <cstdio>
#include <string>

#include "expected.h"

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at text[i], or 0.
size_t utf8Length(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    // The lead byte's high ones count the bytes; the least value each length
    // may carry rules out the overlong forms.
    static const struct {
        unsigned char mask, bits;
        size_t length;
        unsigned min;
    } kinds[] = {{0xE0, 0xC0, 2, 0x80}, {0xF0, 0xE0, 3, 0x800}, {0xF8, 0xF0, 4, 0x10000}};
    size_t n = 0;
    unsigned min = 0;
    for (const auto& k : kinds)
        if ((lead & k.mask) == k.bits) {
            n = k.length;
            min = k.min;
        }
    if (n == 0) return 0;
    if (i + n > text.size()) return 0;
    unsigned code = lead & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    // Surrogates and values past Unicode are not text either.
    if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    return n;
}

// filter's standard error and the paths are whatever bytes they are; the
// JSON and XML readers of CI want text. `control` turns a control character.
template <typename Control>
std::string escaped(const std::string& text, Control control) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8Length(text, i);
        if (n == 0) {
            out += kReplacement;
            ++i;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (n == 1 && (c < 0x20 || c == 0x7F)) {
            out += control(c);
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

std::string json(const std::string& text) {
    // '"' and '\\' never occur inside a multi-byte sequence.
    std::string plain;
    for (const char c : text) {
        if (c == '"' || c == '\\') plain += '\\';
        plain += c;
    }
    // Built by appending: GCC 12 at -O2 reports a false overlap (-Wrestrict)
    // in "\"" + text.
    std::string quoted(1, '"');
    quoted.append(escaped(plain, [](unsigned char c) {
        char u[8];
        snprintf(u, sizeof u, "\\u%04x", c);
        return std::string(u);
    }));
    quoted.push_back('"');
    return quoted;
}

// Text for an XML attribute or element: line feeds and tabs kept, other
// control characters (not allowed in XML 1.0) replaced.
std::string xml(const std::string& text) {
    std::string out;
    for (const char c : escaped(text, [](unsigned char c) {
             return c == '\n' || c == '\t' ? std::string(1, static_cast<char>(c)) : kReplacement;
         })) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\t':
            out += "&#9;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string channels(int red, int green, int blue, int alpha) {
    return "{\"red\":" + std::to_string(red) + ",\"green\":" + std::to_string(green) +
           ",\"blue\":" + std::to_string(blue) + ",\"alpha\":" + std::to_string(alpha) + "}";
}

std::string fixed(double v) {
    char text[32];
    snprintf(text, sizeof text, "%.3f", v);
    return text;
}

std::string caseName(const Verdict& v) { return "test " + std::to_string(v.test) + " " + formatOf(v.test).name; }

}  // namespace

std::string tableHeader() {
    char line[160];
    snprintf(line, sizeof line, "%-4s  %-18s  %-25s  %-9s  %-10s  %4s  %7s  %6s  %s", "test", "format", "type",
             "surface", "config", "max", "mean", "over", "result");
    return line;
}

std::string tableRow(const Verdict& v) {
    const Format& f = formatOf(v.test);
    const std::string size = v.width > 0 ? std::to_string(v.width) + "x" + std::to_string(v.height) : "-";
    const std::string config = v.format ? formatName(*v.format) : "-";
    char line[512];
    if (v.difference) {
        snprintf(line, sizeof line, "%4d  %-18s  %-25s  %-9s  %-10s  %4d  %7.3f  %6ld  %s", v.test, f.format, f.type,
                 size.c_str(), config.c_str(), v.difference->max, v.difference->mean, v.difference->over,
                 v.pass ? "PASS" : "FAIL");
    } else {
        snprintf(line, sizeof line, "%4d  %-18s  %-25s  %-9s  %-10s  %4s  %7s  %6s  %s", v.test, f.format, f.type,
                 size.c_str(), config.c_str(), "-", "-", "-", v.pass ? "PASS" : "FAIL");
    }
    return v.note.empty() ? line : std::string(line) + "  " + v.note;
}

std::string jsonObject(const Verdict& v, const std::string& renderer) {
    const Format& f = formatOf(v.test);
    const Tolerance& t = v.tolerance;
    const std::optional<SurfaceFormat>& s = v.format;
    const std::optional<Difference>& d = v.difference;
    const std::string null = "null";
    // Appended piece by piece: GCC 12 at -O2 reports false overlaps
    // (-Wrestrict) in chains of "literal" + string.
    std::string o = "{";
    auto field = [&o](const char* name, const std::string& value) {
        if (o.size() > 1) o += ',';
        o += '"';
        o += name;
        o += "\":";
        o += value;
    };
    field("test", std::to_string(v.test));
    field("format", json(f.format));
    field("type", json(f.type));
    field("name", json(f.name));
    field("surface", json(v.surface));
    field("width", v.width > 0 ? std::to_string(v.width) : null);
    field("height", v.width > 0 ? std::to_string(v.height) : null);
    field("config", s ? json(formatName(*s)) : null);
    field("bits", s ? channels(s->red, s->green, s->blue, s->alpha) : null);
    field("tolerance", channels(t.red, t.green, t.blue, t.alpha));
    field("max", d ? channels(d->channelMax[0], d->channelMax[1], d->channelMax[2], d->channelMax[3]) : null);
    field("mean", d ? fixed(d->mean) : null);
    field("over", d ? std::to_string(d->over) : null);
    field("result", json(v.pass ? "PASS" : "FAIL"));
    field("note", json(v.note));
    std::string errors = "[";
    for (const std::string& line : v.errors) {
        if (errors.size() > 1) errors += ',';
        errors += json(line);
    }
    errors += ']';
    field("errors", errors);
    field("renderer", json(renderer));
    field("seconds", fixed(v.seconds));
    o += '}';
    return o;
}

std::string junitDocument(const std::string& suite, const std::vector<Verdict>& verdicts, const std::string& renderer,
                          const std::string& setupFault) {
    long failures = 0;
    double seconds = 0;
    std::string cases;
    for (const Verdict& v : verdicts) {
        seconds += v.seconds;
        cases += "    <testcase classname=\"" + xml(suite) + "\" name=\"" + xml(caseName(v)) + "\" time=\"" +
                 fixed(v.seconds) + "\"";
        if (v.pass) {
            cases += "/>\n";
            continue;
        }
        ++failures;
        std::string body = tableRow(v);
        for (const std::string& line : v.errors) body += "\n| " + line;
        cases += ">\n      <failure message=\"" + xml(tableRow(v)) + "\" type=\"FAIL\">" + xml(body) +
                 "</failure>\n    </testcase>\n";
    }
    const bool error = !setupFault.empty();
    if (error)
        cases += "    <testcase classname=\"" + xml(suite) +
                 "\" name=\"set-up\" time=\"0.000\">\n      <error message=\"" + xml(setupFault) +
                 "\"/>\n    </testcase>\n";
    const std::string counts = "tests=\"" + std::to_string(verdicts.size() + (error ? 1 : 0)) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"" + (error ? "1" : "0") + "\" time=\"" +
                               fixed(seconds) + "\"";
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites " + counts + ">\n  <testsuite name=\"" +
                      xml(suite) + "\" " + counts + ">\n";
    if (!renderer.empty())
        doc += "    <properties>\n      <property name=\"renderer\" value=\"" + xml(renderer) +
               "\"/>\n    </properties>\n";
    return doc + cases + "  </testsuite>\n</testsuites>\n";
}
