// The tray item and its menu on a private bus as a host reads them, served over a coordinator
// made of fakes that keep count of what the menu's actions did, with a tray's watcher made for
// the purpose.

#include "SollunHelper/tray/DBusMenu.h"

#include "SollunHelper/tray/DBusMenuItems.h"
#include "SollunHelper/tray/StatusNotifierItem.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/DaemonCalls.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <unistd.h>

#include <cstdarg>
#include <regex>
#include <tuple>

namespace sollun::helper {
namespace {

using namespace test;

// What is left of a message, as text: basic values bare, arrays [a,b], dictionaries {k=v,...},
// structs (a b), variants as their contents, values apart by spaces, byte arrays as their
// length "<n bytes>"; an error as "error <name>".
std::string render(sd_bus_message* m, char type = 0, const char* contents = nullptr) {
    if (type == 0 && sd_bus_message_is_method_error(m, nullptr))
        return std::string("error ") + sd_bus_message_get_error(m)->name;
    if (type == 'a' && contents == std::string_view("y")) {
        const void* bytes = nullptr;
        std::size_t size = 0;
        sd_bus_message_read_array(m, 'y', &bytes, &size);
        return "<" + std::to_string(size) + " bytes>";
    }
    if (type == 0 || std::string_view("arve").find(type) != std::string_view::npos) {
        const char* separator = type == 0 || type == 'r' ? " " : type == 'e' ? "=" : ",";
        std::string inner;
        if (type != 0)
            sd_bus_message_enter_container(m, type, contents);
        const char* outer = contents;
        for (char t = 0; sd_bus_message_peek_type(m, &t, &contents) > 0;)
            inner += (inner.empty() ? "" : separator) + render(m, t, contents);
        if (type != 0)
            sd_bus_message_exit_container(m);
        if (type == 'a')
            return outer[0] == '{' ? "{" + inner + "}" : "[" + inner + "]";
        return type == 'r' ? "(" + inner + ")" : inner;
    }
    if (type == 'b' || type == 'i' || type == 'u') {
        std::uint32_t n = 0;
        sd_bus_message_read_basic(m, type, &n);
        return type == 'b'   ? (n ? "true" : "false")
               : type == 'u' ? std::to_string(n)
                             : std::to_string(static_cast<std::int32_t>(n));
    }
    const char* text = nullptr;
    sd_bus_message_read_basic(m, type, &text);
    return text ? text : "?";
}

class MenuOnTheBus : public ::testing::Test {
protected:
    MenuOnTheBus() {
        EXPECT_GE(sd_bus_request_name(server.get(), destination.c_str(), 0), 0);
        for (const auto& [member, list] : {std::pair{"LayoutUpdated", &layoutUpdates},
                                           std::pair{"ItemsPropertiesUpdated", &propertyUpdates}}) {
            EXPECT_GE(sd_bus_match_signal(
                          client.get(), nullptr, nullptr, dbusMenuPath, dbusMenuInterface, member,
                          [](sd_bus_message* m, void* updates, sd_bus_error*) {
                              static_cast<std::vector<std::string>*>(updates)->push_back(render(m));
                              return 0;
                          },
                          list),
                      0);
        }
        auto started = DBusMenu::start(server.get(), loop, delegate);
        EXPECT_TRUE(std::holds_alternative<std::unique_ptr<DBusMenu>>(started));
        menu = std::move(std::get<0>(started));
    }

    // Calls the helper (arguments as for sd_bus_message_append) and runs the loop until the
    // answer is in; gives the answer rendered.
    std::string call(const char* path, const char* interface, const char* member, const char* types,
                     ...) {
        answer = "no answer";
        va_list arguments;
        va_start(arguments, types);
        sd_bus_slot* slot = nullptr;
        EXPECT_GE(sd_bus_call_method_asyncv(
                      client.get(), &slot, destination.c_str(), path, interface, member,
                      [](sd_bus_message* reply, void* self, sd_bus_error*) {
                          static_cast<MenuOnTheBus*>(self)->answer = render(reply);
                          static_cast<MenuOnTheBus*>(self)->loop.exit(0);
                          return 0;
                      },
                      this, types, arguments),
                  0);
        va_end(arguments);
        EXPECT_EQ(runWithWatchdog(loop), 0);
        sd_bus_slot_unref(slot);
        return answer;
    }
    template <class... Args>
    std::string menuCall(const char* member, const char* types, Args... arguments) {
        return call(dbusMenuPath, dbusMenuInterface, member, types, arguments...);
    }

    // Lets every task posted so far run (clicks, the menu's refreshes), then every signal they
    // sent arrive.
    void runPosted() {
        loop.post([this] { loop.exit(0); });
        ASSERT_EQ(runWithWatchdog(loop), 0);
        call("/", "org.freedesktop.DBus.Peer", "Ping", "");
    }

    // Approvals asked for, URLs opened, login item registrations and unregistrations, quits.
    std::vector<int> effects() {
        std::vector<int> counts{service.approvals, static_cast<int>(workspace->urls.size()),
                                loginItem->registrations, loginItem->unregistrations, quits};
        service.approvals = quits = loginItem->registrations = loginItem->unregistrations = 0;
        workspace->urls.clear();
        return counts;
    }

    PrivateBus bus{PrivateBus::Options{}};
    platform::SdEventLoop loop;
    ServiceScript service;
    FakeWorkspace* workspace = new FakeWorkspace;
    FakeLoginItem* loginItem = new FakeLoginItem;
    HelperCoordinator coordinator{
        loop,
        std::make_unique<WakeDaemonController>(loop, std::make_unique<FakeDaemonService>(service),
                                               std::make_shared<FakeConnector>()),
        std::unique_ptr<Workspace>(workspace),
        std::make_unique<FakeSystemWake>(),
        std::make_unique<FakeSleepInhibitor>(),
        std::unique_ptr<LoginItem>(loginItem)};
    int quits = 0;
    HelperAppDelegate delegate{coordinator, [this] { ++quits; }};
    BusPtr server = connect(bus.address(), loop);
    BusPtr client = connect(bus.address(), loop);
    std::string destination = "com.kestrovane.sollun.helper"; // a name of the helper's
    std::string answer;
    std::vector<std::string> layoutUpdates;
    std::vector<std::string> propertyUpdates;
    std::unique_ptr<DBusMenu> menu;
};

const std::string invalid = "error " SD_BUS_ERROR_INVALID_ARGS;

std::string label(const std::string& text, bool enabled = true) {
    return "label=" + text + ",enabled=" + (enabled ? "true" : "false");
}
// The layout as a host reads it: rows as (id, properties).
std::string layout(int revision, const std::vector<std::pair<int, std::string>>& rows) {
    std::string text = std::to_string(revision) + " (0 {children-display=submenu} [";
    for (std::size_t i = 0; i < rows.size(); ++i)
        text +=
            (i > 0 ? ",(" : "(") + std::to_string(rows[i].first) + " {" + rows[i].second + "} [])";
    return text + "])";
}
const std::pair<int, std::string> title{1, label("Sollun \xE2\x80\x94 Wake From Sleep", false)};
const std::pair<int, std::string> upperSeparator{3, "type=separator"};
const std::pair<int, std::string> approve{4, label("Approve in Login Items\xE2\x80\xA6")};
const std::pair<int, std::string> lowerSeparator{7, "type=separator"};
const std::pair<int, std::string> quit{8, label("Quit SollunHelper") + ",shortcut=[[Control,q]]"};
std::pair<int, std::string> startAtLogin(bool on) {
    return {6, label("Start at Login") + ",toggle-type=checkmark,toggle-state=" + (on ? "1" : "0")};
}

// A host that reads the layout once, at registration, finds it complete; every change after is
// announced, rows keep their ids whatever comes and goes, and nothing is announced when nothing
// changed.
TEST_F(MenuOnTheBus, TheLayoutIsTheMenuAtAnyMomentAndEachChangeIsAnnounced) {
    const auto getLayout = [&] { return menuCall("GetLayout", "iias", 0, -1, 0); };
    EXPECT_EQ(getLayout(), layout(1, {title,
                                      {2, label("Active \xE2\x80\x94 no upcoming alarm", false)},
                                      upperSeparator,
                                      {5, label("Launch Sollun")},
                                      startAtLogin(false),
                                      lowerSeparator,
                                      quit}));

    // Several changes at once: announced together, once.
    service.status = serviceRequiresApproval;
    coordinator.daemon().refreshRegistrationState();
    workspace->setRunning(true);
    loginItem->setStatus(LoginItem::enabled);
    runPosted();
    EXPECT_EQ(propertyUpdates,
              std::vector<std::string>{"[(2 {label=Waiting for approval in Login Items}),"
                                       "(5 {label=Open Sollun}),(6 {toggle-state=1})] []"});
    EXPECT_EQ(layoutUpdates, std::vector<std::string>{"2 0"});
    const auto waiting = layout(2, {title,
                                    {2, label("Waiting for approval in Login Items", false)},
                                    upperSeparator,
                                    approve,
                                    {5, label("Open Sollun")},
                                    startAtLogin(true),
                                    lowerSeparator,
                                    quit});
    EXPECT_EQ(getLayout(), waiting);

    // Told of a change that changes nothing, or about to be shown unchanged: no announcement, the
    // same revision; the opening has Sollun's processes looked at again.
    loginItem->setStatus(LoginItem::enabled);
    runPosted();
    EXPECT_EQ(menuCall("AboutToShow", "i", 0), "false");
    EXPECT_EQ(workspace->rechecks, 1);
    EXPECT_EQ(menuCall("AboutToShowGroup", "ai", 3, 4, 0, 42), "[] [42]");
    EXPECT_EQ(getLayout(), waiting);
    EXPECT_EQ(layoutUpdates.size(), 1u);
    EXPECT_EQ(propertyUpdates.size(), 1u);

    // A change only a look at opening finds (the login item's entry): the answer says so and the
    // announcement comes before it.
    loginItem->currentStatus = 0;
    EXPECT_EQ(menuCall("AboutToShow", "i", 0), "true");
    EXPECT_EQ(layoutUpdates, (std::vector<std::string>{"2 0", "3 0"}));
    EXPECT_EQ(propertyUpdates.back(), "[(6 {toggle-state=0})] []");

    // The approval row goes, and no other row's id moves: a click from a host's layout of
    // before does what it did then, or nothing when its row is gone.
    service.status = serviceEnabled;
    coordinator.daemon().refreshRegistrationState();
    runPosted();
    EXPECT_EQ(layoutUpdates.back(), "4 0");
    EXPECT_EQ(getLayout(), layout(4, {title,
                                      {2, label("Active \xE2\x80\x94 no upcoming alarm", false)},
                                      upperSeparator,
                                      {5, label("Open Sollun")},
                                      startAtLogin(false),
                                      lowerSeparator,
                                      quit}));
    EXPECT_EQ(menuCall("Event", "isvu", 4, "clicked", "s", "", 0u), "");
    EXPECT_EQ(menuCall("Event", "isvu", 5, "clicked", "s", "", 0u), "");
    runPosted();
    EXPECT_EQ(effects(), (std::vector<int>{0, 1, 0, 0, 0}));
}

TEST_F(MenuOnTheBus, AHostReadsTheRowsAndClicksActOnlyOnEnabledOnes) {
    service.status = serviceRequiresApproval;
    coordinator.daemon().refreshRegistrationState();
    runPosted();
    EXPECT_EQ(menuCall("AboutToShow", "i", 9), invalid);
    EXPECT_EQ(menuCall("GetProperty", "is", 3, "label"), invalid) << "a separator has none";
    EXPECT_EQ(menuCall("GetProperty", "is", 8, "shortcut"), "[[Control,q]]");
    EXPECT_EQ(menuCall("GetGroupProperties", "aias", 3, 6, 99, 1, 1, "label"),
              "[(6 {label=Start at Login}),(1 {label=Sollun \xE2\x80\x94 Wake From Sleep})]");
    EXPECT_EQ(
        call(dbusMenuPath, "org.freedesktop.DBus.Properties", "GetAll", "s", dbusMenuInterface),
        "{Version=3,TextDirection=ltr,Status=normal,IconThemePath=[]}");
    // Hosts read a single '_' as a mnemonic mark.
    EXPECT_EQ(dbusMenuLabel("__x_"), "____x__");

    // Clicks on commands, each carried out once, after the reply. Row, login item status ->
    // approvals, URLs opened, login item registrations and unregistrations, quits
    const std::tuple<int, std::int64_t, std::vector<int>> commands[] = {
        {4, 0, {1, 0, 0, 0, 0}},
        {5, 0, {0, 1, 0, 0, 0}},
        {6, 2, {0, 0, 1, 0, 0}}, // anything but enabled, waiting for approval included
        {6, LoginItem::enabled, {0, 0, 0, 1, 0}},
        {8, 0, {0, 0, 0, 0, 1}}};
    for (const auto& [id, loginStatus, expected] : commands) {
        loginItem->currentStatus = loginStatus;
        EXPECT_EQ(menuCall("Event", "isvu", id, "clicked", "s", "", 0u), "");
        runPosted();
        EXPECT_EQ(workspace->urls, std::vector<std::string>(expected[1], "sollun://show"));
        EXPECT_EQ(effects(), expected) << "row " << id;
    }
    // The toggle shows its new state at once.
    EXPECT_EQ(propertyUpdates.back(), "[(6 {toggle-state=0})] []");

    // The root, disabled rows and separators, events other than clicks, and ids never shown do
    // nothing.
    const std::pair<int, const char*> inert[] = {{0, "clicked"}, {1, "clicked"}, {2, "clicked"},
                                                 {3, "clicked"}, {4, "hovered"}, {9, "clicked"}};
    for (const auto& [id, event] : inert)
        EXPECT_EQ(menuCall("Event", "isvu", id, event, "i", 0, 0u), "") << id << event;
    // Unknown ids listed, the others carried out; a click on an action still waiting to run
    // counts once.
    EXPECT_EQ(menuCall("EventGroup", "a(isvu)", 4, 9, "clicked", "i", 0, 0u, 6, "clicked", "i", 0,
                       0u, 6, "clicked", "i", 0, 0u, 1, "clicked", "i", 0, 0u),
              "[9]");
    runPosted();
    EXPECT_EQ(effects(), (std::vector<int>{0, 0, 1, 0, 0}));
}

// org.kde.StatusNotifierWatcher as a tray has it, on a connection of its own: it lists the items
// registered with it, and can drop them.
class Watcher {
public:
    Watcher(const std::string& address, platform::SdEventLoop& loop)
        : loop_(loop)
        , bus_(connect(address, loop)) {
        EXPECT_GE(sd_bus_add_object_vtable(bus_.get(), nullptr, statusNotifierWatcherPath,
                                           statusNotifierWatcherName, vtable, this),
                  0);
        EXPECT_GE(sd_bus_request_name(bus_.get(), statusNotifierWatcherName, 0), 0);
    }

    void emit(const char* member, const char* types, const char* argument = nullptr) {
        EXPECT_GE(sd_bus_emit_signal(bus_.get(), statusNotifierWatcherPath,
                                     statusNotifierWatcherName, member, types, argument),
                  0);
    }
    // Runs the loop until `item` has handled everything this watcher sent it so far, and this
    // watcher everything the item sent in return.
    void reach(const std::string& item) {
        EXPECT_GE(sd_bus_call_method_async(
                      bus_.get(), nullptr, item.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping",
                      [](sd_bus_message*, void* loop, sd_bus_error*) {
                          static_cast<platform::SdEventLoop*>(loop)->exit(0);
                          return 0;
                      },
                      &loop_, ""),
                  0);
        EXPECT_EQ(runWithWatchdog(loop_), 0);
    }

    std::vector<std::string> registered; // every registration, in order
    std::vector<std::string> listed;
    int listQueries = 0;

private:
    static int onRegister(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<Watcher*>(userdata);
        const char* name = nullptr;
        sd_bus_message_read(m, "s", &name);
        self.registered.push_back(name);
        self.listed.push_back(name);
        self.loop_.exit(0);
        return sd_bus_reply_method_return(m, "");
    }
    static int onListed(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                        void* userdata, sd_bus_error*) {
        auto& self = *static_cast<Watcher*>(userdata);
        ++self.listQueries;
        int r = sd_bus_message_open_container(reply, 'a', "s");
        for (const auto& name : self.listed)
            if (r >= 0)
                r = sd_bus_message_append_basic(reply, 's', name.c_str());
        return r < 0 ? r : sd_bus_message_close_container(reply);
    }
    static constexpr sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", onRegister, 0),
        SD_BUS_PROPERTY("RegisteredStatusNotifierItems", "as", onListed, 0, 0),
        SD_BUS_SIGNAL("StatusNotifierItemUnregistered", "s", 0),
        SD_BUS_SIGNAL("StatusNotifierHostRegistered", "", 0),
        SD_BUS_VTABLE_END,
    };

    platform::SdEventLoop& loop_;
    BusPtr bus_;
};

TEST_F(MenuOnTheBus, TheItemStaysRegisteredWithEachWatcherAndALeftClickOpensSollun) {
    auto tray = std::make_unique<Watcher>(bus.address(), loop);
    auto started = StatusNotifierItem::start(
        server.get(), loop, {"/opt/sollun/share/icons", 1, [this](const std::string& token) {
                                 delegate.openSollun(token);
                             }});
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<StatusNotifierItem>>(started));
    const auto item = std::move(std::get<0>(started));
    ASSERT_EQ(runWithWatchdog(loop), 0);
    const std::string name = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
    tray->reach(name);
    EXPECT_EQ(tray->registered, std::vector<std::string>{name});
    EXPECT_EQ(tray->listQueries, 1) << "the registration is checked once";

    // Dropped: another item's drop is none of its business; its own, in whatever form, is.
    tray->listed.clear();
    tray->emit("StatusNotifierItemUnregistered", "s", "org.kde.StatusNotifierItem-1-1");
    tray->reach(name);
    EXPECT_EQ(tray->listQueries, 1);
    tray->emit("StatusNotifierItemUnregistered", "s", (name + "/StatusNotifierItem").c_str());
    ASSERT_EQ(runWithWatchdog(loop), 0);
    // Dropped without a word: a host registering has the list read.
    tray->listed.clear();
    tray->emit("StatusNotifierHostRegistered", "");
    ASSERT_EQ(runWithWatchdog(loop), 0);
    tray->reach(name);
    EXPECT_EQ(tray->registered, (std::vector<std::string>{name, name, name}));
    EXPECT_EQ(tray->listQueries, 3);

    tray.reset(); // the tray restarts
    destination = name;
    // The pixmaps are the program test's.
    const auto properties = call(statusNotifierItemPath, "org.freedesktop.DBus.Properties",
                                 "GetAll", "s", statusNotifierItemInterface);
    EXPECT_EQ(
        std::regex_replace(properties, std::regex(R"(IconPixmap=\[\(.*?\)\])"), "IconPixmap=…"),
        "{Category=ApplicationStatus,Id=com.kestrovane.sollun.helper,Title=SollunHelper,"
        "Status=Active,WindowId=0,IconThemePath=/opt/sollun/share/icons,"
        "IconName=sollun-helper,IconPixmap=…,OverlayIconName=,"
        "OverlayIconPixmap=[],AttentionIconName=,AttentionIconPixmap=[],"
        "AttentionMovieName=,ToolTip=(sollun-helper [] SollunHelper ),"
        "ItemIsMenu=true,Menu=/MenuBar}");
    tray = std::make_unique<Watcher>(bus.address(), loop);
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(tray->registered, std::vector<std::string>{name});

    // A left click, with the token the host asked the compositor for; the token serves once.
    EXPECT_EQ(call(statusNotifierItemPath, statusNotifierItemInterface, "ProvideXdgActivationToken",
                   "s", "token-1"),
              "");
    for (int click = 0; click < 2; ++click) {
        EXPECT_EQ(call(statusNotifierItemPath, statusNotifierItemInterface, "Activate", "ii", 0, 0),
                  "");
        runPosted();
    }
    EXPECT_EQ(workspace->urls, (std::vector<std::string>{"sollun://show", "sollun://show"}));
    EXPECT_EQ(workspace->tokens, (std::vector<std::string>{"token-1", ""}));
}

} // namespace
} // namespace sollun::helper
