#include "platform/codesign/Requirement.h"

#include <cctype>

namespace platform::codesign {

namespace {

// Requirements come from signature files that anyone can write; keep the
// parser's work bounded.
constexpr std::size_t kMaxTextLength = 4096;
constexpr std::size_t kMaxClauses = 64;
constexpr int kMaxCertificateIndex = 16;

struct Token {
    enum class Kind { Word, String, Hash, Open, Close, Equals, End };
    Kind kind = Kind::End;
    std::string text;
};

class Lexer {
public:
    explicit Lexer(std::string_view s) : s_(s) {}

    bool next(Token* out, std::string* error) {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
        *out = Token{};
        if (pos_ >= s_.size()) return true;
        char c = s_[pos_];
        if (c == '[') return single(out, Token::Kind::Open);
        if (c == ']') return single(out, Token::Kind::Close);
        if (c == '=') return single(out, Token::Kind::Equals);
        if (c == '"') {
            out->kind = Token::Kind::String;
            return quoted(&out->text, error);
        }
        if (c == 'H' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '"') {
            ++pos_;
            out->kind = Token::Kind::Hash;
            return quoted(&out->text, error);
        }
        std::size_t start = pos_;
        while (pos_ < s_.size()) {
            char d = s_[pos_];
            if (std::isalnum(static_cast<unsigned char>(d)) || d == '.' || d == '_' || d == '-') {
                ++pos_;
            } else {
                break;
            }
        }
        if (start == pos_) {
            if (error) *error = "unexpected character '" + std::string(1, c) + "'";
            return false;
        }
        out->kind = Token::Kind::Word;
        out->text = std::string(s_.substr(start, pos_ - start));
        return true;
    }

private:
    bool single(Token* out, Token::Kind kind) {
        out->kind = kind;
        out->text = std::string(1, s_[pos_++]);
        return true;
    }

    bool quoted(std::string* text, std::string* error) {
        ++pos_;  // opening quote
        while (pos_ < s_.size()) {
            char c = s_[pos_++];
            if (c == '"') return true;
            if (c == '\\') {
                if (pos_ >= s_.size()) break;
                c = s_[pos_++];
            }
            text->push_back(c);
        }
        if (error) *error = "unterminated string";
        return false;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

std::optional<NRVData> parseHex(const std::string& hex) {
    if (hex.size() != 64) return std::nullopt;
    NRVData out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int hi = std::isxdigit(static_cast<unsigned char>(hex[i])) ? std::stoi(hex.substr(i, 1), nullptr, 16) : -1;
        int lo = std::isxdigit(static_cast<unsigned char>(hex[i + 1])) ? std::stoi(hex.substr(i + 1, 1), nullptr, 16) : -1;
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return out;
}

bool isDottedOID(const std::string& s) {
    if (s.empty() || s.front() == '.' || s.back() == '.') return false;
    bool lastDot = false;
    for (char c : s) {
        if (c == '.') {
            if (lastDot) return false;
            lastDot = true;
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            lastDot = false;
        } else {
            return false;
        }
    }
    return s.find('.') != std::string::npos;
}

class Parser {
public:
    Parser(std::string_view text, std::string* error) : lexer_(text), error_(error) {}

    bool run(std::vector<Requirement::Clause>* clauses) {
        if (!advance()) return false;
        for (;;) {
            if (clauses->size() >= kMaxClauses) return fail("too many clauses");
            Requirement::Clause clause;
            if (!parseClause(&clause)) return false;
            clauses->push_back(std::move(clause));
            if (tok_.kind == Token::Kind::End) return true;
            if (!isWord("and")) return fail("expected \"and\" but found '" + tok_.text + "'");
            if (!advance()) return false;
        }
    }

private:
    bool advance() { return lexer_.next(&tok_, error_); }
    bool isWord(const char* w) const { return tok_.kind == Token::Kind::Word && tok_.text == w; }
    bool fail(const std::string& message) {
        if (error_) *error_ = message;
        return false;
    }
    bool expectWord(const char* w) {
        if (!isWord(w)) return fail(std::string("expected \"") + w + "\"");
        return advance();
    }

    bool parseClause(Requirement::Clause* c) {
        using Kind = Requirement::Clause::Kind;
        if (isWord("anchor")) {
            if (!advance() || !expectWord("apple")) return false;
            c->kind = Kind::AnchorApple;
            if (isWord("generic")) {
                c->kind = Kind::AnchorAppleGeneric;
                return advance();
            }
            return true;
        }
        if (isWord("identifier")) {
            if (!advance()) return false;
            if (tok_.kind == Token::Kind::Equals && !advance()) return false;
            if (tok_.kind != Token::Kind::String) return fail("identifier needs a quoted text");
            c->kind = Kind::Identifier;
            c->text = tok_.text;
            return advance();
        }
        if (isWord("cdhash")) {
            if (!advance()) return false;
            if (tok_.kind != Token::Kind::Hash) return fail("cdhash needs H\"<hex>\"");
            auto hash = parseHex(tok_.text);
            if (!hash) return fail("cdhash needs 64 hexadecimal digits");
            c->kind = Kind::CDHash;
            c->hash = std::move(*hash);
            return advance();
        }
        if (isWord("certificate")) return parseCertificate(c);
        if (tok_.kind == Token::Kind::End) return fail("unexpected end of requirement");
        return fail("unknown clause '" + tok_.text + "'");
    }

    bool parseCertificate(Requirement::Clause* c) {
        using Kind = Requirement::Clause::Kind;
        if (!advance()) return false;
        if (tok_.kind != Token::Kind::Word) return fail("certificate needs leaf, root or an index");
        if (tok_.text == "leaf") {
            c->certificate = 0;
        } else if (tok_.text == "root") {
            c->certificate = -1;
        } else {
            if (tok_.text.empty() || tok_.text.size() > 2) return fail("bad certificate index");
            for (char d : tok_.text) {
                if (!std::isdigit(static_cast<unsigned char>(d))) return fail("bad certificate index");
            }
            c->certificate = std::stoi(tok_.text);
            if (c->certificate > kMaxCertificateIndex) return fail("bad certificate index");
        }
        if (!advance()) return false;
        if (tok_.kind != Token::Kind::Open) return fail("expected '['");
        if (!advance()) return false;
        if (tok_.kind != Token::Kind::Word) return fail("expected a certificate field");
        std::string field = tok_.text;
        if (!advance()) return false;
        if (tok_.kind != Token::Kind::Close) return fail("expected ']'");
        if (!advance()) return false;
        if (field.rfind("subject.", 0) == 0) {
            c->field = field.substr(8);
            if (c->field != "O" && c->field != "OU" && c->field != "CN") return fail("unknown subject field " + field);
            if (tok_.kind != Token::Kind::Equals) return fail("expected '='");
            if (!advance()) return false;
            if (tok_.kind != Token::Kind::String) return fail("expected a quoted text");
            c->kind = Kind::CertificateField;
            c->text = tok_.text;
            return advance();
        }
        if (field.rfind("field.", 0) == 0) {
            c->text = field.substr(6);
            if (!isDottedOID(c->text)) return fail("bad object identifier " + c->text);
            c->kind = Kind::CertificateExtension;
            return expectWord("exists");
        }
        return fail("unknown certificate field " + field);
    }

    Lexer lexer_;
    std::string* error_;
    Token tok_;
};

const CertificateFacts* certificateAt(const CodeFacts& facts, int index) {
    if (facts.certificates.empty()) return nullptr;
    if (index < 0) return &facts.certificates.back();
    if (static_cast<std::size_t>(index) >= facts.certificates.size()) return nullptr;
    return &facts.certificates[static_cast<std::size_t>(index)];
}

bool clauseHolds(const Requirement::Clause& c, const CodeFacts& facts) {
    using Kind = Requirement::Clause::Kind;
    switch (c.kind) {
        case Kind::AnchorApple:
            return facts.platformCode;
        case Kind::AnchorAppleGeneric:
            return facts.anchorTrusted;
        case Kind::Identifier:
            return facts.identifier == c.text;
        case Kind::CDHash:
            return !facts.cdhash.empty() && facts.cdhash == c.hash;
        case Kind::CertificateField: {
            const CertificateFacts* cert = certificateAt(facts, c.certificate);
            if (!cert) return false;
            const std::optional<std::string>& value =
                c.field == "O" ? cert->subjectO : c.field == "OU" ? cert->subjectOU : cert->subjectCN;
            return value && *value == c.text;
        }
        case Kind::CertificateExtension: {
            const CertificateFacts* cert = certificateAt(facts, c.certificate);
            if (!cert) return false;
            for (const auto& oid : cert->extensionOIDs) {
                if (oid == c.text) return true;
            }
            return false;
        }
    }
    return false;
}

}  // namespace

std::optional<Requirement> Requirement::parse(std::string_view text, platform::Error* error) {
    if (text.size() > kMaxTextLength) {
        if (error) *error = platform::Error{"", 0, "requirement text too long"};
        return std::nullopt;
    }
    Requirement r;
    std::string why;
    Parser parser(text, &why);
    if (!parser.run(&r.clauses_)) {
        if (error) *error = platform::Error{"", 0, why};
        return std::nullopt;
    }
    r.text_ = std::string(text);
    return r;
}

bool Requirement::isSatisfiedBy(const CodeFacts& facts) const {
    if (clauses_.empty()) return false;
    for (const auto& c : clauses_) {
        if (!clauseHolds(c, facts)) return false;
    }
    return true;
}

}  // namespace platform::codesign
