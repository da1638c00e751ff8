#include "shared/Requirement.h"

#include "shared/ProductIdentities.h"

#include <gtest/gtest.h>

namespace sollun::trust {
namespace {

constexpr gid_t helperGroup = 1001, appGroup = 1002, daemonGroup = 1003, otherGroup = 1004;

IdentityTable productLikeTable() {
    const std::string team{signingTeamIdentifier};
    return IdentityTable{{
        {std::string{helperIdentifier}, team, helperGroup, std::nullopt},
        {std::string{mainAppIdentifier}, team, appGroup, std::nullopt},
        {std::string{daemonIdentifier}, team, daemonGroup, uid_t{0}},
        {"org.example.other", "OTHERTEAM1", otherGroup, std::nullopt},
    }};
}

// Credentials the bus attested, or (`attested` false) ones read from /proc, which prove nothing.
PeerCredentials peer(std::optional<uid_t> uid, std::optional<gid_t> gid,
                     std::vector<gid_t> supplementary = {}, bool attested = true) {
    return {uid, 4242, gid, std::move(supplementary), attested};
}

TEST(RequirementTexts, AdmitOnlyTheProductsOwnPeers) {
    const std::string daemon = daemonRequirementText(), client = clientRequirementText();
    const struct {
        const std::string& requirement;
        const char* what;
        PeerCredentials peer;
        bool admitted;
    } cases[] = {
        {daemon, "helper, primary group", peer(1000, helperGroup), true},
        {daemon, "main app, supplementary group", peer(1000, 100, {27, appGroup}), true},
        {daemon, "helper without a reported uid", peer(std::nullopt, helperGroup), true},
        {daemon, "helper read from /proc", peer(1000, helperGroup, {}, false), false},
        {daemon, "neither group", peer(1000, 100, {27, 44}), false},
        {daemon, "daemon group only, as root", peer(0, daemonGroup), false},
        {daemon, "other vendor's group", peer(1000, otherGroup), false},
        {daemon, "no groups reported", peer(1000, std::nullopt), false},
        {client, "root, daemon group supplementary", peer(0, 0, {daemonGroup}), true},
        {client, "daemon group, another uid", peer(1000, daemonGroup), false},
        {client, "daemon group, no uid reported", peer(std::nullopt, daemonGroup), false},
        {client, "root without the group", peer(0, 0, {helperGroup}), false},
        {client, "root, daemon group, from /proc", peer(0, daemonGroup, {}, false), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(satisfies(c.requirement, c.peer, productLikeTable()), c.admitted) << c.what;
}

TEST(Requirement, FailsClosed) {
    const PeerCredentials root = peer(0, daemonGroup, {helperGroup, appGroup});
    EXPECT_FALSE(evaluate(Requirement{}, root, productLikeTable()));
    for (const auto& text : {daemonRequirementText(), clientRequirementText()})
        EXPECT_FALSE(satisfies(text, root, IdentityTable{})) << "an empty table admits nobody";
    const std::string malformed[] = {"",
                                     "anchor generic",
                                     "Identifier x",
                                     "identifier",
                                     "identifier == x",
                                     R"(identifier "x)",
                                     "identifier x y",
                                     std::string{"identifier x\0", 13},
                                     "(identifier x",
                                     "()",
                                     "identifier x and",
                                     "identifier x && identifier y",
                                     "not",
                                     "certificate leaf[subject.O] = x",
                                     "info [x] = y"};
    for (const auto& text : malformed) {
        EXPECT_FALSE(parseRequirement(text)) << text;
        EXPECT_FALSE(satisfies(text, root, productLikeTable())) << text;
    }
}

} // namespace
} // namespace sollun::trust
