#include "shared/Requirement.h"

#include "shared/ProductIdentities.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace sollun::trust {
namespace {

constexpr gid_t helperGroup = 1001;
constexpr gid_t appGroup = 1002;
constexpr gid_t daemonGroup = 1003;
constexpr gid_t otherGroup = 1004;

IdentityTable productLikeTable() {
    const std::string team{signingTeamIdentifier};
    return IdentityTable{{
        {std::string{helperIdentifier}, team, helperGroup, std::nullopt},
        {std::string{mainAppIdentifier}, team, appGroup, std::nullopt},
        {std::string{daemonIdentifier}, team, daemonGroup, uid_t{0}},
        {"org.example.other", "OTHERTEAM1", otherGroup, std::nullopt},
    }};
}

PeerCredentials attested(std::optional<uid_t> uid, std::optional<gid_t> gid,
                         std::vector<gid_t> supplementary = {}) {
    return {uid, 4242, gid, std::move(supplementary), true};
}

PeerCredentials fromProc(std::optional<uid_t> uid, std::optional<gid_t> gid) {
    return {uid, 4242, gid, {}, false};
}

struct PeerCase {
    const char* what;
    PeerCredentials peer;
    bool admitted;
};

TEST(RequirementTexts, AreAssembledExactlyAndParse) {
    EXPECT_EQ(
        daemonRequirementText(),
        R"(anchor apple generic and certificate leaf[subject.OU] = "QM4R82T7KX" and )"
        R"((identifier "com.kestrovane.sollun.helper" or identifier "com.kestrovane.sollun"))");
    EXPECT_EQ(clientRequirementText(),
              R"(anchor apple generic and certificate leaf[subject.OU] = "QM4R82T7KX" and )"
              R"(identifier "SollunWakeDaemon")");
    EXPECT_TRUE(parseRequirement(daemonRequirementText()));
    EXPECT_TRUE(parseRequirement(clientRequirementText()));
}

TEST(RequirementTexts, DaemonAdmitsTheHelperAndTheMainApplicationOnly) {
    const PeerCase cases[] = {
        {"helper, primary group", attested(1000, helperGroup), true},
        {"main app, supplementary group", attested(1000, 100, {27, appGroup}), true},
        {"helper without a reported uid", attested(std::nullopt, helperGroup), true},
        {"helper read from /proc", fromProc(1000, helperGroup), false},
        {"neither group", attested(1000, 100, {27, 44}), false},
        {"daemon group only, as root", attested(0, daemonGroup), false},
        {"other vendor's group", attested(1000, otherGroup), false},
        {"no groups reported", attested(1000, std::nullopt), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(satisfies(daemonRequirementText(), c.peer, productLikeTable()), c.admitted)
            << c.what;
    }
}

TEST(RequirementTexts, ClientAdmitsOnlyRootInTheDaemonGroup) {
    const PeerCase cases[] = {
        {"root, daemon group", attested(0, daemonGroup), true},
        {"root, daemon group supplementary", attested(0, 0, {daemonGroup}), true},
        {"daemon group, another uid", attested(1000, daemonGroup), false},
        {"daemon group, no uid reported", attested(std::nullopt, daemonGroup), false},
        {"root without the group", attested(0, 0, {helperGroup}), false},
        {"root, daemon group, read from /proc", fromProc(0, daemonGroup), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(satisfies(clientRequirementText(), c.peer, productLikeTable()), c.admitted)
            << c.what;
    }
}

TEST(RequirementTexts, AnEmptyTableAdmitsNobody) {
    for (const auto& peer : {attested(0, daemonGroup), attested(1000, helperGroup, {appGroup})}) {
        EXPECT_FALSE(satisfies(daemonRequirementText(), peer, IdentityTable{}));
        EXPECT_FALSE(satisfies(clientRequirementText(), peer, IdentityTable{}));
        EXPECT_FALSE(satisfies(R"(cert leaf[subject.OU] = "QM4R82T7KX")", peer, IdentityTable{}));
    }
}

TEST(RequirementLanguage, OperatorsAndTerms) {
    // "t" holds for the peer below, "f" does not.
    const IdentityTable table{{
        {"t", "TEAM", helperGroup, std::nullopt},
        {"f", "TEAM", otherGroup, std::nullopt},
        {R"(we"ird\id)", "TEAM", helperGroup, std::nullopt},
    }};
    const PeerCredentials peer = attested(1000, helperGroup);
    const struct {
        const char* text;
        bool holds;
    } cases[] = {
        {"identifier t or identifier f and identifier f", true},
        {"identifier f and identifier f or identifier t", true},
        {"(identifier t or identifier f) and identifier f", false},
        {"!identifier t or identifier t", true},
        {"not identifier t and identifier f", false},
        {"not (identifier t and identifier f)", true},
        {"! ! identifier t", true},
        {"not not not identifier t", false},
        {"identifier = t", true},
        {R"(identifier "t")", true},
        {R"(identifier "we\"ird\\id")", true},
        {"identifier T", false},
        {"identifier and", false}, // a bare keyword where a string is expected is just a string
        {"anchor apple", true},
        {"anchor apple generic", true},
        {"cert leaf[subject.OU] = TEAM", true},
        {R"(certificate leaf [ subject.OU ] = "OTHER")", false},
        {"\tidentifier\nt\r\n", true},
    };
    for (const auto& c : cases) {
        const std::optional<Requirement> requirement = parseRequirement(c.text);
        ASSERT_TRUE(requirement) << c.text;
        EXPECT_EQ(evaluate(*requirement, peer, table), c.holds) << c.text;
    }
}

TEST(RequirementLanguage, RefusesMalformedTexts) {
    const std::string texts[] = {
        "",
        "  \n",
        "anchor",
        "anchor generic",
        "anchor apple generic generic",
        "Identifier x",
        "identifier",
        "identifier =",
        "identifier == x",
        "identifier != x",
        R"(identifier "x)",
        R"(identifier "x\")",
        R"(identifier "x\n")",
        "identifier x y",
        "identifier x;",
        "identifier \xc3\xa9t\xc3\xa9",
        std::string{"identifier x\0", 13},
        "(identifier x",
        "identifier x)",
        "((identifier x)",
        "()",
        "identifier x and",
        "and identifier x",
        "identifier x or or identifier y",
        "identifier x && identifier y",
        "!",
        "not",
        "identifier x !",
        "certificate leaf[subject.O] = x",
        "certificate leaf[subject.OU] x",
        "certificate leaf[subject.OU] =",
        "certificate root[subject.OU] = x",
        "cert leaf subject.OU = x",
        "certificate leaf[subject.OU = x",
        "info [x] = y",
    };
    for (const auto& text : texts) {
        EXPECT_FALSE(parseRequirement(text)) << text;
        EXPECT_FALSE(satisfies(text, attested(0, helperGroup), productLikeTable())) << text;
    }
}

std::string repeated(std::string_view piece, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

TEST(RequirementLanguage, BoundsNestingButNotChainLength) {
    const IdentityTable table{{{"t", "TEAM", helperGroup, std::nullopt}}};
    const PeerCredentials peer = attested(1000, helperGroup);
    const std::size_t limit = maxRequirementNesting;

    const auto parenthesised = [](std::size_t depth) {
        return repeated("(", depth) + "identifier t" + repeated(")", depth);
    };
    EXPECT_TRUE(satisfies(parenthesised(limit), peer, table));
    EXPECT_FALSE(parseRequirement(parenthesised(limit + 1)));
    EXPECT_TRUE(satisfies(repeated("!", limit) + "identifier t", peer, table));
    EXPECT_FALSE(parseRequirement(repeated("not ", limit + 1) + "identifier t"));

    EXPECT_FALSE(parseRequirement(repeated("(", 100'000)));
    EXPECT_FALSE(parseRequirement(parenthesised(100'000)));
    EXPECT_FALSE(parseRequirement(repeated("!", 100'000)));

    // Long flat chains are legitimate and must neither be refused nor deepen the tree.
    EXPECT_TRUE(satisfies(repeated("identifier t and ", 100'000) + "identifier t", peer, table));
    EXPECT_TRUE(satisfies(repeated("identifier f or ", 100'000) + "identifier t", peer, table));
}

TEST(Requirement, ADefaultConstructedOneAdmitsNobody) {
    EXPECT_FALSE(evaluate(Requirement{}, attested(0, daemonGroup), productLikeTable()));
}

TEST(ProductIdentities, DevelopmentBuildMapsEveryIdentityOntoTheCurrentUser) {
    if (!identitiesAreDevelopmentMapped()) {
        GTEST_SKIP() << "release build";
    }
    const PeerCredentials self = attested(::geteuid(), ::getegid());
    EXPECT_TRUE(
        satisfies(R"(identifier "com.kestrovane.sollun.helper")", self, productIdentities()));
    EXPECT_TRUE(satisfies(daemonRequirementText(), self, productIdentities()));
    EXPECT_TRUE(satisfies(clientRequirementText(), self, productIdentities()));
    EXPECT_FALSE(satisfies(clientRequirementText(), attested(::geteuid() + 1, ::getegid()),
                           productIdentities()));
}

TEST(ProductIdentities, ReleaseBuildDemandsRootOfTheDaemonOnly) {
    if (identitiesAreDevelopmentMapped()) {
        GTEST_SKIP() << "development build";
    }
    // Which groups exist depends on the machine; whatever is found must keep these properties.
    for (const Identity& identity : productIdentities().identities()) {
        EXPECT_EQ(identity.team, signingTeamIdentifier);
        EXPECT_EQ(identity.requiredUid,
                  identity.identifier == daemonIdentifier ? std::optional<uid_t>{0} : std::nullopt);
    }
}

} // namespace
} // namespace sollun::trust
