#include "shared/Requirement.h"

#include "shared/ProductNames.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace sollun::trust {

namespace {

std::string concatenate(std::initializer_list<std::string_view> pieces) {
    std::string text;
    for (std::string_view piece : pieces) {
        text += piece;
    }
    return text;
}

enum class TokenKind {
    end,
    invalid,
    word,
    quoted,
    openParen,
    closeParen,
    openBracket,
    closeBracket,
    bang,
    equals,
};

struct Token {
    TokenKind kind = TokenKind::end;
    std::string text; // a word as written, or a quoted string with its escapes resolved
};

bool isWordCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Recursive descent over a one-token lookahead. Every recursion passes through parseUnary, which
// refuses to open a level beyond maxRequirementNesting, so the stack stays bounded whatever the
// input; `and`/`or` chains are collected in loops and add no depth.
class Parser {
public:
    explicit Parser(std::string_view text)
        : text_(text) {
        advance();
    }

    std::optional<Requirement> parse() {
        std::optional<Requirement> result = parseDisjunction(0);
        if (!result || current_.kind != TokenKind::end) {
            return std::nullopt;
        }
        return result;
    }

private:
    std::optional<Requirement> parseDisjunction(std::size_t depth) {
        return parseChain(depth, "or", Requirement::Kind::anyOf, &Parser::parseConjunction);
    }

    std::optional<Requirement> parseConjunction(std::size_t depth) {
        return parseChain(depth, "and", Requirement::Kind::allOf, &Parser::parseUnary);
    }

    std::optional<Requirement>
    parseChain(std::size_t depth, std::string_view keyword, Requirement::Kind kind,
               std::optional<Requirement> (Parser::*operand)(std::size_t)) {
        std::optional<Requirement> first = (this->*operand)(depth);
        if (!first || !atWord(keyword)) {
            return first;
        }
        Requirement chain{.kind = kind, .value = {}, .operands = {}};
        chain.operands.push_back(std::move(*first));
        while (atWord(keyword)) {
            advance();
            std::optional<Requirement> next = (this->*operand)(depth);
            if (!next) {
                return std::nullopt;
            }
            chain.operands.push_back(std::move(*next));
        }
        return chain;
    }

    std::optional<Requirement> parseUnary(std::size_t depth) {
        const bool negation = current_.kind == TokenKind::bang || atWord("not");
        const bool group = current_.kind == TokenKind::openParen;
        if (!negation && !group) {
            return parseTerm();
        }
        if (depth >= maxRequirementNesting) {
            return std::nullopt;
        }
        advance();
        if (negation) {
            std::optional<Requirement> operand = parseUnary(depth + 1);
            if (!operand) {
                return std::nullopt;
            }
            Requirement result{.kind = Requirement::Kind::negation, .value = {}, .operands = {}};
            result.operands.push_back(std::move(*operand));
            return result;
        }
        std::optional<Requirement> inner = parseDisjunction(depth + 1);
        if (!inner || !accept(TokenKind::closeParen)) {
            return std::nullopt;
        }
        return inner;
    }

    std::optional<Requirement> parseTerm() {
        if (acceptWord("anchor")) {
            if (!acceptWord("apple")) {
                return std::nullopt;
            }
            const auto kind = acceptWord("generic") ? Requirement::Kind::anchorAppleGeneric
                                                    : Requirement::Kind::anchorApple;
            return Requirement{.kind = kind, .value = {}, .operands = {}};
        }
        if (acceptWord("identifier")) {
            accept(TokenKind::equals);
            return stringOperand(Requirement::Kind::identifier);
        }
        if (acceptWord("certificate") || acceptWord("cert")) {
            if (!acceptWord("leaf") || !accept(TokenKind::openBracket) ||
                !acceptWord("subject.OU") || !accept(TokenKind::closeBracket) ||
                !accept(TokenKind::equals)) {
                return std::nullopt;
            }
            return stringOperand(Requirement::Kind::leafTeam);
        }
        return std::nullopt;
    }

    // A bare word stands for itself here, keywords included: the grammar wants a string at this
    // point, so `identifier and` can only mean the identifier "and".
    std::optional<Requirement> stringOperand(Requirement::Kind kind) {
        if (current_.kind != TokenKind::word && current_.kind != TokenKind::quoted) {
            return std::nullopt;
        }
        Requirement result{.kind = kind, .value = std::move(current_.text), .operands = {}};
        advance();
        return result;
    }

    bool atWord(std::string_view word) const {
        return current_.kind == TokenKind::word && current_.text == word;
    }

    bool acceptWord(std::string_view word) {
        if (!atWord(word)) {
            return false;
        }
        advance();
        return true;
    }

    bool accept(TokenKind kind) {
        if (current_.kind != kind) {
            return false;
        }
        advance();
        return true;
    }

    void advance() { current_ = lex(); }

    Token lex() {
        while (pos_ < text_.size() && isSpace(text_[pos_])) {
            ++pos_;
        }
        if (pos_ >= text_.size()) {
            return {TokenKind::end, {}};
        }
        const char c = text_[pos_];
        if (isWordCharacter(c)) {
            const std::size_t start = pos_;
            while (pos_ < text_.size() && isWordCharacter(text_[pos_])) {
                ++pos_;
            }
            return {TokenKind::word, std::string{text_.substr(start, pos_ - start)}};
        }
        if (c == '"') {
            return lexQuoted();
        }
        ++pos_;
        switch (c) {
        case '(':
            return {TokenKind::openParen, {}};
        case ')':
            return {TokenKind::closeParen, {}};
        case '[':
            return {TokenKind::openBracket, {}};
        case ']':
            return {TokenKind::closeBracket, {}};
        case '!':
            return {TokenKind::bang, {}};
        case '=':
            return {TokenKind::equals, {}};
        default:
            return invalid();
        }
    }

    Token lexQuoted() {
        std::string value;
        ++pos_; // the opening quote
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') {
                return {TokenKind::quoted, std::move(value)};
            }
            if (c == '\\') {
                if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\\')) {
                    return invalid();
                }
                value += text_[pos_++];
                continue;
            }
            value += c;
        }
        return invalid(); // unterminated
    }

    // Once the text has gone wrong nothing after it can help: stay on an invalid token for good.
    Token invalid() {
        pos_ = text_.size();
        return {TokenKind::invalid, {}};
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    Token current_;
};

bool holdsGroup(const PeerCredentials& peer, gid_t group) {
    return peer.gid == group ||
           std::ranges::find(peer.supplementaryGroups, group) != peer.supplementaryGroups.end();
}

bool isIdentity(const PeerCredentials& peer, const Identity& identity) {
    if (!holdsGroup(peer, identity.group)) {
        return false;
    }
    return !identity.requiredUid || peer.uid == *identity.requiredUid;
}

} // namespace

std::string daemonRequirementText() {
    return concatenate({"anchor apple generic and certificate leaf[subject.OU] = \"",
                        signingTeamIdentifier, "\" and (identifier \"", helperIdentifier,
                        "\" or identifier \"", mainAppIdentifier, "\")"});
}

std::string clientRequirementText() {
    return concatenate({"anchor apple generic and certificate leaf[subject.OU] = \"",
                        signingTeamIdentifier, "\" and identifier \"", daemonIdentifier, "\""});
}

std::optional<Requirement> parseRequirement(std::string_view text) {
    return Parser{text}.parse();
}

IdentityTable::IdentityTable(std::vector<Identity> identities) {
    for (Identity& identity : identities) {
        add(std::move(identity));
    }
}

void IdentityTable::add(Identity identity) {
    auto existing = std::ranges::find(identities_, identity.identifier, &Identity::identifier);
    if (existing != identities_.end()) {
        *existing = std::move(identity);
    } else {
        identities_.push_back(std::move(identity));
    }
}

const Identity* IdentityTable::find(std::string_view identifier) const {
    auto found = std::ranges::find(identities_, identifier, &Identity::identifier);
    return found != identities_.end() ? &*found : nullptr;
}

bool evaluate(const Requirement& requirement, const PeerCredentials& peer,
              const IdentityTable& table) {
    const auto operandHolds = [&](const Requirement& operand) {
        return evaluate(operand, peer, table);
    };
    switch (requirement.kind) {
    case Requirement::Kind::anchorApple:
    case Requirement::Kind::anchorAppleGeneric:
        return peer.attestedByBus;
    case Requirement::Kind::identifier: {
        const Identity* identity = table.find(requirement.value);
        return identity != nullptr && isIdentity(peer, *identity);
    }
    case Requirement::Kind::leafTeam:
        return std::ranges::any_of(table.identities(), [&](const Identity& identity) {
            return identity.team == requirement.value && holdsGroup(peer, identity.group);
        });
    case Requirement::Kind::allOf:
        // The parser never builds an empty conjunction, but a default-constructed Requirement is
        // one, and it must admit nobody rather than everybody.
        return !requirement.operands.empty() &&
               std::ranges::all_of(requirement.operands, operandHolds);
    case Requirement::Kind::anyOf:
        return std::ranges::any_of(requirement.operands, operandHolds);
    case Requirement::Kind::negation:
        return requirement.operands.size() == 1 && !operandHolds(requirement.operands.front());
    }
    return false;
}

bool satisfies(std::string_view requirementText, const PeerCredentials& peer,
               const IdentityTable& table) {
    const std::optional<Requirement> requirement = parseRequirement(requirementText);
    return requirement && evaluate(*requirement, peer, table);
}

} // namespace sollun::trust
