// A strict reader of one JSON text for the tests, so that no script
// language is needed where the programs run (Wine included): it tells
// whether the text is valid JSON and gives its numbers and strings by path,
// "readings.I_supply_mA.mean"; null reads as NaN.
#ifndef TALVIRO_TESTS_CLI_JSON_READER_H
#define TALVIRO_TESTS_CLI_JSON_READER_H

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>

struct JsonValues {
    std::map<std::string, double> numbers;
    std::map<std::string, std::string> strings;
    std::string error;  // empty when the text was valid JSON

    double number(const std::string& path) const {
        const auto it = numbers.find(path);
        return it == numbers.end() ? -12345.678 : it->second;
    }
};

class JsonReader {
public:
    static JsonValues read(const std::string& text) {
        JsonReader reader(text);
        reader.blanks();
        if (reader.value("") ) {
            reader.blanks();
            if (reader.i_ != text.size()) reader.fail("text after the value");
        }
        return reader.values_;
    }

private:
    explicit JsonReader(const std::string& text) : t_(text) {}

    bool fail(const std::string& why) {
        if (values_.error.empty()) values_.error = why + " at " + std::to_string(i_);
        return false;
    }
    void blanks() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\n' || t_[i_] == '\r' || t_[i_] == '\t')) ++i_;
    }
    bool word(const char* w) {
        const std::string s(w);
        if (t_.compare(i_, s.size(), s) != 0) return false;
        i_ += s.size();
        return true;
    }
    bool string(std::string* out) {
        if (i_ >= t_.size() || t_[i_] != '"') return fail("expected a string");
        for (++i_; i_ < t_.size(); ++i_) {
            const char c = t_[i_];
            if (c == '"') {
                ++i_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return fail("control character in a string");
            if (c == '\\') {
                if (++i_ >= t_.size()) break;
                const char e = t_[i_];
                if (e == 'u') {
                    if (i_ + 4 >= t_.size()) break;
                    *out += '?';
                    i_ += 4;
                } else if (std::string("\"\\/bfnrt").find(e) != std::string::npos) {
                    *out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
                } else {
                    return fail("bad escape");
                }
            } else {
                *out += c;
            }
        }
        return fail("unterminated string");
    }
    bool number(const std::string& path) {
        const size_t start = i_;
        if (i_ < t_.size() && t_[i_] == '-') ++i_;
        auto digits = [&] {
            const size_t d = i_;
            while (i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
            return i_ > d;
        };
        if (i_ < t_.size() && t_[i_] == '0') ++i_;
        else if (!digits()) return fail("bad number");
        if (i_ < t_.size() && t_[i_] == '.') {
            ++i_;
            if (!digits()) return fail("bad fraction");
        }
        if (i_ < t_.size() && (t_[i_] == 'e' || t_[i_] == 'E')) {
            ++i_;
            if (i_ < t_.size() && (t_[i_] == '+' || t_[i_] == '-')) ++i_;
            if (!digits()) return fail("bad exponent");
        }
        values_.numbers[path] = std::strtod(t_.substr(start, i_ - start).c_str(), nullptr);
        return true;
    }
    bool value(const std::string& path) {
        if (i_ >= t_.size()) return fail("expected a value");
        const char c = t_[i_];
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++i_;
            blanks();
            if (i_ < t_.size() && t_[i_] == close) return ++i_, true;
            for (int index = 0;; ++index) {
                blanks();
                std::string key = std::to_string(index);
                if (c == '{') {
                    key.clear();
                    if (!string(&key)) return false;
                    blanks();
                    if (!word(":")) return fail("expected ':'");
                    blanks();
                }
                if (!value(path.empty() ? key : path + "." + key)) return false;
                blanks();
                if (word(",")) continue;
                if (i_ < t_.size() && t_[i_] == close) return ++i_, true;
                return fail("expected ',' or the end of the object");
            }
        }
        if (c == '"') {
            std::string s;
            if (!string(&s)) return false;
            values_.strings[path] = s;
            return true;
        }
        if (word("null")) return values_.numbers[path] = NAN, true;
        if (word("true") || word("false")) return true;
        return number(path);
    }

    const std::string& t_;
    size_t i_ = 0;
    JsonValues values_;
};

#endif
