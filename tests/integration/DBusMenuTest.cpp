#include "SollunHelper/linux/DBusMenu.h"

#include "SollunHelper/SollunHelperApp.h"
#include "SollunHelper/linux/StatusNotifierItem.h"
#include "platform/Log.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <unistd.h>

#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using namespace test;

struct BusClose {
    void operator()(sd_bus* bus) const {
        sd_bus_detach_event(bus);
        sd_bus_flush_close_unref(bus);
    }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;

// A connection to the private bus, dispatched by the loop.
Bus connect(const std::string& address, platform::SdEventLoop& loop) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0 && (r = sd_bus_set_address(bus, address.c_str())) >= 0 &&
        (r = sd_bus_set_bus_client(bus, 1)) >= 0 && (r = sd_bus_start(bus)) >= 0)
        r = sd_bus_attach_event(bus, loop.native(), SD_EVENT_PRIORITY_NORMAL);
    EXPECT_GE(r, 0);
    return Bus(bus);
}

// What is left of a message, as text: basic values bare, arrays [a,b], dictionaries {k=v,...},
// structs (a b), variants as their contents, values apart by spaces; an error as "error <name>".
std::string render(sd_bus_message* m, char type = 0, const char* contents = nullptr) {
    if (type == 0) {
        if (sd_bus_message_is_method_error(m, nullptr))
            return std::string("error ") + sd_bus_message_get_error(m)->name;
        std::string all;
        while (sd_bus_message_peek_type(m, &type, &contents) > 0)
            all += (all.empty() ? "" : " ") + render(m, type, contents);
        return all;
    }
    if (std::string_view("arve").find(type) != std::string_view::npos) {
        const bool dictionary = type == 'a' && contents[0] == '{';
        std::string inner;
        const char* separator = type == 'r' ? " " : type == 'e' ? "=" : ",";
        sd_bus_message_enter_container(m, type, contents);
        for (char t = 0; sd_bus_message_peek_type(m, &t, &contents) > 0;)
            inner += (inner.empty() ? "" : separator) + render(m, t, contents);
        sd_bus_message_exit_container(m);
        if (type == 'r')
            return "(" + inner + ")";
        if (type == 'a')
            return dictionary ? "{" + inner + "}" : "[" + inner + "]";
        return inner;
    }
    union {
        int b;
        std::int32_t i;
        std::uint32_t u;
        const char* s;
    } value{};
    sd_bus_message_read_basic(m, type, &value);
    switch (type) {
    case 'b':
        return value.b ? "true" : "false";
    case 'i':
        return std::to_string(value.i);
    case 'u':
        return std::to_string(value.u);
    default:
        return value.s ? value.s : "?";
    }
}

// org.kde.StatusNotifierWatcher as a tray has it, keeping the names items register.
struct FakeWatcher {
    FakeWatcher(const std::string& address, platform::SdEventLoop& l)
        : bus(connect(address, l))
        , loop(&l) {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", &FakeWatcher::onRegister, 0),
            SD_BUS_VTABLE_END};
        EXPECT_GE(sd_bus_add_object_vtable(bus.get(), &slot, statusNotifierWatcherPath,
                                           statusNotifierWatcherName, vtable, this),
                  0);
        EXPECT_GE(sd_bus_request_name(bus.get(), statusNotifierWatcherName, 0), 0);
    }
    ~FakeWatcher() { sd_bus_slot_unref(slot); }
    static int onRegister(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<FakeWatcher*>(userdata);
        self.registered.push_back(render(m));
        self.loop->exit(0);
        return sd_bus_reply_method_return(m, "");
    }
    Bus bus;
    sd_bus_slot* slot = nullptr;
    platform::SdEventLoop* loop = nullptr;
    std::vector<std::string> registered;
};

class MenuOnTheBus : public ::testing::Test {
protected:
    MenuOnTheBus() {
        auto workspaceOwned = std::make_unique<FakeWorkspace>();
        auto loginOwned = std::make_unique<FakeLoginItem>();
        workspace = workspaceOwned.get();
        loginItem = loginOwned.get();
        coordinator = std::make_unique<HelperCoordinator>(
            loop,
            std::make_unique<WakeDaemonController>(loop,
                                                   std::make_unique<FakeDaemonService>(service),
                                                   std::make_shared<FakeConnector>()),
            std::move(workspaceOwned), std::make_unique<FakeSystemWake>(), std::move(loginOwned));
        delegate = std::make_unique<HelperAppDelegate>(*coordinator, [this] { ++quits; });
        const char* unique = nullptr;
        EXPECT_GE(sd_bus_get_unique_name(server.get(), &unique), 0);
        helperName = unique;
        EXPECT_GE(sd_bus_match_signal(
                      client.get(), &layoutMatch, nullptr, dbusMenuPath, dbusMenuInterface,
                      "LayoutUpdated",
                      [](sd_bus_message* m, void* updates, sd_bus_error*) {
                          static_cast<std::vector<std::string>*>(updates)->push_back(render(m));
                          return 0;
                      },
                      &layoutUpdates),
                  0);
        auto started = DBusMenu::start(server.get(), loop, *delegate);
        EXPECT_TRUE(std::holds_alternative<std::unique_ptr<DBusMenu>>(started));
        menu = std::move(std::get<0>(started));
    }
    ~MenuOnTheBus() override { sd_bus_slot_unref(layoutMatch); }

    void startItem() {
        auto started = StatusNotifierItem::start(server.get(), {"/opt/sollun/share/icons", 1});
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<StatusNotifierItem>>(started));
        item = std::move(std::get<0>(started));
    }

    // Calls a method of the helper (arguments as for sd_bus_message_append) and runs the loop
    // until its answer is in; gives the answer rendered.
    std::string call(const char* path, const char* interface, const char* member, const char* types,
                     ...) {
        sd_bus_message* request = nullptr;
        EXPECT_GE(sd_bus_message_new_method_call(client.get(), &request, helperName.c_str(), path,
                                                 interface, member),
                  0);
        va_list arguments;
        va_start(arguments, types);
        EXPECT_GE(sd_bus_message_appendv(request, types, arguments), 0);
        va_end(arguments);
        struct Pending {
            std::string answer;
            platform::EventLoop* loop;
        } pending{"no answer", &loop};
        sd_bus_slot* slot = nullptr;
        EXPECT_GE(sd_bus_call_async(
                      client.get(), &slot, request,
                      [](sd_bus_message* reply, void* userdata, sd_bus_error*) {
                          auto& p = *static_cast<Pending*>(userdata);
                          p.answer = render(reply);
                          p.loop->exit(0);
                          return 0;
                      },
                      &pending, 0),
                  0);
        EXPECT_EQ(runWithWatchdog(loop), 0);
        sd_bus_slot_unref(slot);
        sd_bus_message_unref(request);
        return pending.answer;
    }
    template <class... Args>
    std::string menuCall(const char* member, const char* types, Args... arguments) {
        return call(dbusMenuPath, dbusMenuInterface, member, types, arguments...);
    }
    std::string layout(std::int32_t parent = 0, std::int32_t depth = -1) {
        return menuCall("GetLayout", "iias", parent, depth, 0);
    }

    // Lets every task posted so far run: clicks are carried out that way.
    void runPosted() {
        loop.post([this] { loop.exit(0); });
        ASSERT_EQ(runWithWatchdog(loop), 0);
    }

    // approvals, opened URLs, login item registrations and unregistrations, quits.
    std::vector<int> effects() const {
        return {service.approvals, static_cast<int>(workspace->urls.size()),
                loginItem->registrations, loginItem->unregistrations, quits};
    }

    PrivateBus bus{PrivateBus::Options{}};
    platform::SdEventLoop loop;
    platform::ScopedMemoryLog log;
    ServiceScript service;
    FakeWorkspace* workspace = nullptr;
    FakeLoginItem* loginItem = nullptr;
    std::unique_ptr<HelperCoordinator> coordinator;
    int quits = 0;
    std::unique_ptr<HelperAppDelegate> delegate;
    Bus server = connect(bus.address(), loop);
    Bus client = connect(bus.address(), loop);
    std::string helperName;
    sd_bus_slot* layoutMatch = nullptr;
    std::vector<std::string> layoutUpdates;
    std::unique_ptr<DBusMenu> menu;
    std::unique_ptr<StatusNotifierItem> item;
};

std::string row(int id, const std::string& properties) {
    return "(" + std::to_string(id) + " {" + properties + "} [])";
}
std::string label(const std::string& text, bool enabled = true) {
    return "label=" + text + ",enabled=" + (enabled ? "true" : "false");
}
const std::string separator = "type=separator";
const std::string titleRow = label("Sollun \xE2\x80\x94 Wake From Sleep", false);
const std::string quitRow = label("Quit SollunHelper") + ",shortcut=[[Control,q]]";
std::string startAtLogin(int state) {
    return label("Start at Login") + ",toggle-type=checkmark,toggle-state=" + std::to_string(state);
}
std::string root(const std::vector<std::string>& rows) {
    std::string children;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i > 0)
            children += ',';
        children += row(static_cast<int>(i + 1), rows[i]);
    }
    return "(0 {children-display=submenu} [" + children + "])";
}

// --- Opening the menu ---------------------------------------------------------------------------

TEST_F(MenuOnTheBus, AboutToShowFillsTheMenuAndAnnouncesEachNewLayout) {
    EXPECT_EQ(layout(), "0 " + root({})) << "empty until a host is about to show it";

    EXPECT_EQ(menuCall("AboutToShow", "i", 0), "true");
    // Announced before the answer, so a host has it by the time it asks for the layout.
    EXPECT_EQ(layoutUpdates, std::vector<std::string>{"1 0"});
    const std::vector<std::string> rows{
        titleRow,        label("Active \xE2\x80\x94 no upcoming alarm", false),
        separator,       label("Launch Sollun"),
        startAtLogin(0), separator,
        quitRow};
    EXPECT_EQ(layout(), "1 " + root(rows));

    // Every opening is a new revision, even when nothing changed.
    EXPECT_EQ(menuCall("AboutToShow", "i", 0), "true");
    EXPECT_EQ(layoutUpdates.back(), "2 0");
    EXPECT_EQ(layout(), "2 " + root(rows));
    // Rows have nothing below them; other ids are not the menu's.
    EXPECT_EQ(menuCall("AboutToShow", "i", 4), "false");
    EXPECT_EQ(menuCall("AboutToShow", "i", 8), "error " SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_EQ(layoutUpdates.size(), 2u);
    auto again = DBusMenu::start(server.get(), loop, *delegate);
    EXPECT_TRUE(std::holds_alternative<std::error_code>(again)) << "one menu per connection";
}

TEST_F(MenuOnTheBus, AboutToShowGroupRebuildsOnceWhenTheRootIsAmongTheIds) {
    service.status = serviceRequiresApproval;
    workspace->running = true;
    loginItem->currentStatus = LoginItem::enabled;
    EXPECT_EQ(menuCall("AboutToShowGroup", "ai", 1, 0), "[0] []");
    EXPECT_EQ(layout(), "1 " + root({titleRow, label("Waiting for approval in Login Items", false),
                                     separator, label("Approve in Login Items\xE2\x80\xA6"),
                                     label("Open Sollun"), startAtLogin(1), separator, quitRow}));

    EXPECT_EQ(menuCall("AboutToShowGroup", "ai", 4, 3, 42, -1, 8), "[] [42,-1]");
    service.status = serviceEnabled;
    EXPECT_EQ(menuCall("AboutToShowGroup", "ai", 4, 5, 0, 0, 99), "[0] [99]");
    EXPECT_EQ(layoutUpdates, (std::vector<std::string>{"1 0", "2 0"}));
    EXPECT_EQ(layout(0, 1).substr(0, 2), "2 ");
    EXPECT_EQ(menu->rows().size(), 7u);
}

// --- Reading it
// -----------------------------------------------------------------------------------

TEST_F(MenuOnTheBus, LayoutAndPropertyQueriesAnswerWhatIsAskedOrAnError) {
    ASSERT_EQ(menuCall("AboutToShow", "i", 0), "true");
    const std::string invalid = "error " SD_BUS_ERROR_INVALID_ARGS;
    const std::pair<std::function<std::string()>, std::string> cases[] = {
        {[&] { return layout(0, 0); }, "1 (0 {children-display=submenu} [])"},
        {[&] { return layout(7, -1); }, "1 " + row(7, quitRow)},
        {[&] { return layout(8, -1); }, invalid},
        {[&] { return layout(-1, -1); }, invalid},
        {[&] { return menuCall("GetLayout", "iias", 0, 1, 2, "toggle-state", "label"); },
         "1 (0 {} [" + row(1, "label=Sollun \xE2\x80\x94 Wake From Sleep") +
             ",(2 {label=Active \xE2\x80\x94 no upcoming alarm} []),(3 {} []),(4 {label=Launch "
             "Sollun} []),(5 {label=Start at Login,toggle-state=0} []),(6 {} []),(7 "
             "{label=Quit SollunHelper} [])])"},
        // Names the menu does not know ask for nothing, not for everything.
        {[&] { return menuCall("GetLayout", "iias", 5, -1, 1, "x-unknown"); }, "1 (5 {} [])"},
        {[&] { return menuCall("GetGroupProperties", "aias", 5, 5, 99, -3, 1, 5, 1, "label"); },
         "[(5 {label=Start at Login}),(1 {label=Sollun \xE2\x80\x94 Wake From Sleep})]"},
        {[&] { return menuCall("GetGroupProperties", "aias", 1, 42, 0); }, "[]"},
        {[&] { return menuCall("GetGroupProperties", "aias", 0, 1, "type"); },
         "[(0 {}),(1 {}),(2 {}),(3 {type=separator}),(4 {}),(5 {}),(6 {type=separator}),(7 {})]"},
        {[&] { return menuCall("GetProperty", "is", 5, "toggle-state"); }, "0"},
        {[&] { return menuCall("GetProperty", "is", 2, "enabled"); }, "false"},
        {[&] { return menuCall("GetProperty", "is", 7, "shortcut"); }, "[[Control,q]]"},
        {[&] { return menuCall("GetProperty", "is", 3, "label"); }, invalid},
        {[&] { return menuCall("GetProperty", "is", 4, "x-unknown"); }, invalid},
        {[&] { return menuCall("GetProperty", "is", 42, "label"); }, invalid},
        // Arguments of the wrong types, or missing, are refused by the bus layer.
        {[&] { return menuCall("GetLayout", "s", "0"); }, invalid},
        {[&] { return menuCall("AboutToShow", "u", 0u); }, invalid},
        {[&] { return menuCall("Event", "is", 4, "clicked"); }, invalid},
        {[&] { return menuCall("EventGroup", "a(is)", 1, 4, "clicked"); }, invalid},
        {[&] {
             return call(dbusMenuPath, "org.freedesktop.DBus.Properties", "GetAll", "s",
                         dbusMenuInterface);
         },
         "{Version=3,TextDirection=ltr,Status=normal,IconThemePath=[]}"},
    };
    for (const auto& [query, expected] : cases)
        EXPECT_EQ(query(), expected);
    EXPECT_EQ(effects(), std::vector<int>(5, 0));
}

TEST(DBusMenuLabel, UnderscoresAreDoubledSoHostsShowThem) {
    const std::pair<const char*, const char*> cases[] = {{"", ""},
                                                         {"Open Sollun", "Open Sollun"},
                                                         {"_", "__"},
                                                         {"a_b", "a__b"},
                                                         {"__x_", "____x__"}};
    for (const auto& [title, expected] : cases)
        EXPECT_EQ(dbusMenuLabel(title), expected) << title;
}

// --- Clicks -----------------------------------------------------------------------------------

TEST_F(MenuOnTheBus, ClicksThroughEventAndEventGroupPerformTheirRowsActions) {
    service.status = serviceRequiresApproval;
    ASSERT_EQ(menuCall("AboutToShow", "i", 0), "true");
    // approvals, opened, registrations, unregistrations, quits
    const std::pair<int, std::vector<int>> cases[] = {
        {4, {1, 0, 0, 0, 0}}, {5, {0, 1, 0, 0, 0}}, {6, {0, 0, 1, 0, 0}}, {8, {0, 0, 0, 0, 1}}};
    for (const bool grouped : {false, true}) {
        for (const auto& [id, expected] : cases) {
            SCOPED_TRACE(testing::Message() << "row " << id << (grouped ? " in a group" : ""));
            service.approvals = quits = loginItem->registrations = 0;
            workspace->urls.clear();
            loginItem->currentStatus = 0;
            EXPECT_EQ(grouped ? menuCall("EventGroup", "a(isvu)", 1, id, "clicked", "i", 0, 0u)
                              : menuCall("Event", "isvu", id, "clicked", "s", "", 0u),
                      grouped ? "[]" : "");
            runPosted();
            EXPECT_EQ(effects(), expected);
            EXPECT_EQ(workspace->urls, std::vector<std::string>(id == 5, "sollun://show"));
        }
    }
}

TEST_F(MenuOnTheBus, OnlyClicksOnCommandsDoAnythingAndUnknownIdsAreReported) {
    service.status = serviceRequiresApproval;
    ASSERT_EQ(menuCall("AboutToShow", "i", 0), "true");
    for (const auto& [id, event] : std::vector<std::pair<int, const char*>>{{0, "clicked"},
                                                                            {0, "opened"},
                                                                            {1, "clicked"},
                                                                            {2, "clicked"},
                                                                            {3, "clicked"},
                                                                            {4, "hovered"},
                                                                            {8, "closed"},
                                                                            {8, ""}})
        EXPECT_EQ(menuCall("Event", "isvu", id, event, "i", 0, 0u), "") << id << event;
    EXPECT_EQ(menuCall("Event", "isvu", 9, "clicked", "i", 0, 0u),
              "error " SD_BUS_ERROR_INVALID_ARGS);
    // Event data of any shape; unknown ids listed, the others' clicks carried out, a click on an
    // action still waiting to run counted once.
    EXPECT_EQ(menuCall("EventGroup", "a(isvu)", 5, 9, "clicked", "as", 1, "x", 0u, 6, "clicked",
                       "a{sv}", 0, 0u, -2, "hovered", "i", 0, 0u, 6, "clicked", "i", 0, 0u, 1,
                       "clicked", "i", 0, 0u),
              "[9,-2]");
    runPosted();
    EXPECT_EQ(effects(), (std::vector<int>{0, 0, 1, 0, 0}));

    // Once approved, the menu shrinks at the next opening: the old last id is gone.
    service.status = serviceEnabled;
    ASSERT_EQ(menuCall("AboutToShow", "i", 0), "true");
    EXPECT_EQ(menuCall("Event", "isvu", 8, "clicked", "i", 0, 0u),
              "error " SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_EQ(menuCall("Event", "isvu", 7, "clicked", "i", 0, 0u), "");
    runPosted();
    EXPECT_EQ(effects(), (std::vector<int>{0, 0, 1, 0, 1}));
}

// Thousands of calls of every kind, at most 64 waiting at a time (the bus limits the replies one
// connection may wait for): each gets its right answer, and a task posted meanwhile runs while
// the flood goes on.
TEST_F(MenuOnTheBus, AFloodOfCallsIsAnsweredAndTheLoopStaysResponsive) {
    constexpr int total = 4000;
    struct Kind {
        const char* member;
        std::function<int(sd_bus_message*)> append;
        bool refused;
    };
    const std::vector<Kind> kinds{
        {"GetLayout", [](auto m) { return sd_bus_message_append(m, "iias", 0, -1, 0); }, false},
        {"AboutToShow", [](auto m) { return sd_bus_message_append(m, "i", 0); }, false},
        {"Event",
         [](auto m) { return sd_bus_message_append(m, "isvu", 999, "clicked", "i", 0, 0u); }, true},
        {"GetGroupProperties", [](auto m) { return sd_bus_message_append(m, "aias", 0, 0); },
         false},
        {"AboutToShowGroup", [](auto m) { return sd_bus_message_append(m, "ai", 2, 0, 9); }, false},
        {"GetProperty", [](auto m) { return sd_bus_message_append(m, "is", 1, "x"); }, true},
        {"EventGroup",
         [](auto m) { return sd_bus_message_append(m, "a(isvu)", 1, 3, "clicked", "i", 0, 0u); },
         false},
        {"GetLayout", [](auto m) { return sd_bus_message_append(m, "iias", 99, -1, 0); }, true},
    };
    struct Flood {
        const std::vector<Kind>* kinds;
        std::function<void()> sendNext;
        int sent = 0, answered = 0, wrong = 0, answeredWhenTaskRan = -1;
        platform::EventLoop* loop;
    } flood{&kinds, {}, 0, 0, 0, -1, &loop};
    std::vector<std::pair<Flood*, bool>> calls(total);
    flood.sendNext = [&] {
        const int n = flood.sent++;
        const Kind& kind = kinds[n % kinds.size()];
        calls[n] = {&flood, kind.refused};
        sd_bus_message* m = nullptr;
        sd_bus_message_new_method_call(client.get(), &m, helperName.c_str(), dbusMenuPath,
                                       dbusMenuInterface, kind.member);
        kind.append(m);
        sd_bus_call_async(
            client.get(), nullptr, m,
            [](sd_bus_message* reply, void* userdata, sd_bus_error*) {
                auto& [f, refused] = *static_cast<std::pair<Flood*, bool>*>(userdata);
                if (sd_bus_message_is_method_error(reply, refused ? SD_BUS_ERROR_INVALID_ARGS
                                                                  : nullptr) != refused)
                    ++f->wrong;
                if (++f->answered == total)
                    f->loop->exit(0);
                else if (f->sent < total)
                    f->sendNext();
                return 0;
            },
            &calls[n], 0);
        sd_bus_message_unref(m);
    };
    for (int i = 0; i < 64; ++i)
        flood.sendNext();
    loop.post([&] { flood.answeredWhenTaskRan = flood.answered; });
    ASSERT_EQ(runWithWatchdog(loop, 60s), 0);

    EXPECT_EQ(flood.answered, total);
    EXPECT_EQ(flood.wrong, 0);
    EXPECT_GE(flood.answeredWhenTaskRan, 0);
    EXPECT_LT(flood.answeredWhenTaskRan, total / 2) << "a posted task waited for the flood";
    EXPECT_EQ(layoutUpdates.size(), 1000u) << "each rebuild announced before its answer";
    EXPECT_EQ(layout(0, 0).substr(0, 5), "1000 ");
    runPosted();
    EXPECT_EQ(effects(), std::vector<int>(5, 0)) << "only separators and unknown ids were clicked";
}

// --- The status item --------------------------------------------------------------------------

TEST_F(MenuOnTheBus, TheItemServesItsNameAndPropertiesWithoutAnyWatcher) {
    startItem();
    const std::string name = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
    EXPECT_EQ(item->busName(), name);
    sd_bus_message* owner = nullptr;
    ASSERT_GE(sd_bus_call_method(client.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "GetNameOwner", nullptr, &owner, "s",
                                 name.c_str()),
              0);
    EXPECT_EQ(render(owner), helperName);
    sd_bus_message_unref(owner);

    EXPECT_EQ(call(statusNotifierItemPath, "org.freedesktop.DBus.Properties", "GetAll", "s",
                   statusNotifierItemInterface),
              "{Category=ApplicationStatus,Id=com.kestrovane.sollun.helper,Title=SollunHelper,"
              "Status=Active,WindowId=0,IconThemePath=/opt/sollun/share/icons,"
              "IconName=sollun-helper-symbolic,IconPixmap=[],OverlayIconName=,"
              "OverlayIconPixmap=[],AttentionIconName=,AttentionIconPixmap=[],"
              "AttentionMovieName=,ToolTip=(sollun-helper-symbolic [] SollunHelper ),"
              "ItemIsMenu=true,Menu=/MenuBar}");
    // What a tray does on clicks and the wheel: answered, and nothing happens.
    for (const char* member : {"Activate", "SecondaryActivate", "ContextMenu"})
        EXPECT_EQ(call(statusNotifierItemPath, statusNotifierItemInterface, member, "ii", 5, 5),
                  "");
    EXPECT_EQ(
        call(statusNotifierItemPath, statusNotifierItemInterface, "Scroll", "is", 1, "vertical"),
        "");
    runPosted();
    EXPECT_EQ(effects(), std::vector<int>(5, 0));
    EXPECT_TRUE(layoutUpdates.empty());
}

TEST_F(MenuOnTheBus, TheItemRegistersWithAWatcherAlreadyThere) {
    FakeWatcher watcher(bus.address(), loop);
    startItem();
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(watcher.registered, std::vector<std::string>{item->busName()});
}

TEST_F(MenuOnTheBus, TheItemRegistersWhenAWatcherAppearsAndAgainWhenItRestarts) {
    startItem();
    // A round trip of the helper's connection: the bus has turned its first registration away
    // for want of a watcher, so only the watcher's arrival can bring the next one.
    ASSERT_GE(sd_bus_call_method(server.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "GetId", nullptr, nullptr, ""),
              0);
    auto first = std::make_unique<FakeWatcher>(bus.address(), loop);
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(first->registered, std::vector<std::string>{item->busName()});

    first.reset(); // the tray restarts
    FakeWatcher second(bus.address(), loop);
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(second.registered, std::vector<std::string>{item->busName()});
    EXPECT_EQ(menuCall("AboutToShow", "i", 0), "true") << "the menu served on";
}

} // namespace
} // namespace sollun::helper
