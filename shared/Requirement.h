#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sollun::trust {

// Who may call whom. Each side of the daemon's interface admits a peer only if the peer satisfies
// a requirement text, for instance
//
//   anchor apple generic and certificate leaf[subject.OU] = "QM4R82T7KX" and identifier "X"
//
// A process on this platform carries no signature, so the words of the text are read against
// what the kernel attested about the peer when it connected to the bus:
//
//   anchor apple [generic]               the credentials came from the bus at connect time, not
//                                        from /proc (which a peer can change by exec'ing after
//                                        it connected)
//   identifier "X"                       the peer holds the group of identity X (primary or
//                                        supplementary) and, if X demands one, runs as its uid
//   certificate leaf[subject.OU] = "T"   the peer holds the group of some identity of team T
//
// The groups themselves are granted by a privileged installer; see IdentityTable.

// What the daemon demands of every caller: the helper or the main application.
std::string daemonRequirementText();
// What the helper demands of the daemon it talks to.
std::string clientRequirementText();

// A parsed requirement text. The parser keeps `and` and `or` chains flat (allOf and anyOf hold
// every operand of the chain), so the depth of the tree grows only with parentheses and
// negations, which the parser bounds by maxRequirementNesting.
struct Requirement {
    enum class Kind {
        anchorApple,        // anchor apple
        anchorAppleGeneric, // anchor apple generic
        identifier,         // value: the identifier
        leafTeam,           // certificate leaf[subject.OU] = value
        allOf,              // operands: two or more
        anyOf,              // operands: two or more
        negation,           // operands: exactly one
    };

    Kind kind = Kind::allOf;
    std::string value;
    std::vector<Requirement> operands;
};

inline constexpr std::size_t maxRequirementNesting = 64;

// The accepted language, `and` binding tighter than `or` and negation tighter than both:
//
//   expr     := conj ('or' conj)*
//   conj     := unary ('and' unary)*
//   unary    := ('!' | 'not') unary | '(' expr ')' | term
//   term     := 'anchor' 'apple' ['generic']
//             | 'identifier' ['='] string
//             | ('certificate' | 'cert') 'leaf' '[' 'subject.OU' ']' '=' string
//   string   := '"' characters, with \" and \\ as the only escapes '"'
//             | a bare run of ASCII letters, digits, '.', '-' and '_'
//
// Keywords are case-sensitive; whitespace (space, tab, CR, LF) separates tokens and is otherwise
// ignored. Anything else gives nothing: an unknown word or character, an unknown escape, an
// unterminated string, unbalanced parentheses, trailing text, an empty text, or parentheses and
// negations nested more than maxRequirementNesting deep. Hostile input is expected: the parser
// works in bounded stack and never reads past the text.
std::optional<Requirement> parseRequirement(std::string_view text);

// Credentials of a bus peer. The bus may leave any of the numeric fields out; a missing uid fails
// every identity that demands one, and a missing gid simply holds no group.
struct PeerCredentials {
    std::optional<uid_t> uid;
    std::optional<pid_t> pid; // for the log only: never part of a decision
    std::optional<gid_t> gid;
    std::vector<gid_t> supplementaryGroups;
    // True only for what the bus attested when the peer connected; values gathered from /proc
    // (or sd-bus "augmented" credentials) must leave it false.
    bool attestedByBus = false;
};

struct Identity {
    std::string identifier;
    std::string team;
    gid_t group = 0;
    std::optional<uid_t> requiredUid;
};

// The identities the running system knows, looked up by identifier. An identity that is not in
// the table matches nobody, so an empty table admits nobody.
class IdentityTable {
public:
    IdentityTable() = default;
    explicit IdentityTable(std::vector<Identity> identities);

    // Replaces an identity of the same identifier: each identifier names one group.
    void add(Identity identity);
    const Identity* find(std::string_view identifier) const;
    std::span<const Identity> identities() const { return identities_; }

private:
    std::vector<Identity> identities_;
};

bool evaluate(const Requirement& requirement, const PeerCredentials& peer,
              const IdentityTable& table);

// Parses and evaluates; a text that does not parse admits nobody.
bool satisfies(std::string_view requirementText, const PeerCredentials& peer,
               const IdentityTable& table);

} // namespace sollun::trust
