#include "SollunHelper/linux/DBusMenu.h"

#include "SollunHelper/linux/StatusNotifierItem.h"
#include "platform/Log.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/DelegateOverFakes.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <unistd.h>

#include <cstdarg>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace sollun::helper {
namespace {

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
    if (type == 0 && sd_bus_message_is_method_error(m, nullptr))
        return std::string("error ") + sd_bus_message_get_error(m)->name;
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
    union {
        int b;
        std::int32_t i;
        std::uint32_t u;
        const char* s;
    } value{};
    sd_bus_message_read_basic(m, type, &value);
    if (type == 'b')
        return value.b ? "true" : "false";
    if (type == 'i' || type == 'u')
        return type == 'i' ? std::to_string(value.i) : std::to_string(value.u);
    return value.s ? value.s : "?";
}

// org.kde.StatusNotifierWatcher as a tray has it, keeping the names items register.
struct FakeWatcher {
    FakeWatcher(const std::string& address, platform::SdEventLoop& l)
        : bus(connect(address, l))
        , loop(l) {
        EXPECT_GE(sd_bus_add_object(bus.get(), nullptr, statusNotifierWatcherPath, &onCall, this),
                  0);
        EXPECT_GE(sd_bus_request_name(bus.get(), statusNotifierWatcherName, 0), 0);
    }
    static int onCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<FakeWatcher*>(userdata);
        if (!sd_bus_message_is_method_call(m, statusNotifierWatcherName,
                                           "RegisterStatusNotifierItem"))
            return 0;
        self.registered.push_back(render(m));
        self.loop.exit(0);
        return sd_bus_reply_method_return(m, "");
    }
    Bus bus;
    platform::SdEventLoop& loop;
    std::vector<std::string> registered;
};

class MenuOnTheBus : public ::testing::Test {
protected:
    MenuOnTheBus() {
        const char* unique = nullptr;
        EXPECT_GE(sd_bus_get_unique_name(server.get(), &unique), 0);
        destination = unique;
        EXPECT_GE(sd_bus_match_signal(
                      client.get(), &layoutMatch, nullptr, dbusMenuPath, dbusMenuInterface,
                      "LayoutUpdated",
                      [](sd_bus_message* m, void* updates, sd_bus_error*) {
                          static_cast<std::vector<std::string>*>(updates)->push_back(render(m));
                          return 0;
                      },
                      &layoutUpdates),
                  0);
        auto started = DBusMenu::start(server.get(), loop, fakes.delegate);
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
    std::string layout(std::int32_t parent = 0, std::int32_t depth = -1) {
        return menuCall("GetLayout", "iias", parent, depth, 0);
    }

    // Lets every task posted so far run: clicks are carried out that way.
    void runPosted() {
        loop.post([this] { loop.exit(0); });
        ASSERT_EQ(runWithWatchdog(loop), 0);
    }

    PrivateBus bus{PrivateBus::Options{}};
    platform::SdEventLoop loop;
    platform::ScopedMemoryLog log;
    DelegateOverFakes fakes{loop};
    Bus server = connect(bus.address(), loop);
    Bus client = connect(bus.address(), loop);
    std::string destination; // the helper's connection, or one of its names
    std::string answer;
    sd_bus_slot* layoutMatch = nullptr;
    std::vector<std::string> layoutUpdates;
    std::unique_ptr<DBusMenu> menu;
    std::unique_ptr<StatusNotifierItem> item;
};

const std::string invalid = "error " SD_BUS_ERROR_INVALID_ARGS;

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
    std::string text = "(0 {children-display=submenu} [";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        text += i > 0 ? "," : "";
        text += row(static_cast<int>(i + 1), rows[i]);
    }
    return text + "])";
}

// --- Opening the menu and reading it ---

TEST_F(MenuOnTheBus, EachOpeningRebuildsFromTheWorldAndAnnouncesANewLayout) {
    EXPECT_EQ(layout(), "0 " + root({})) << "empty until a host is about to show it";

    EXPECT_EQ(menuCall("AboutToShow", "i", 0), "true");
    // Announced before the answer, so a host has it by the time it asks for the layout.
    EXPECT_EQ(layoutUpdates, std::vector<std::string>{"1 0"});
    EXPECT_EQ(layout(),
              "1 " +
                  root({titleRow, label("Active \xE2\x80\x94 no upcoming alarm", false), separator,
                        label("Launch Sollun"), startAtLogin(0), separator, quitRow}));

    fakes.service.status = serviceRequiresApproval;
    fakes.workspace->running = true;
    fakes.loginItem->currentStatus = LoginItem::enabled;
    EXPECT_EQ(menuCall("AboutToShowGroup", "ai", 1, 0), "[0] []");
    EXPECT_EQ(layoutUpdates.back(), "2 0");
    EXPECT_EQ(layout(), "2 " + root({titleRow, label("Waiting for approval in Login Items", false),
                                     separator, label("Approve in Login Items\xE2\x80\xA6"),
                                     label("Open Sollun"), startAtLogin(1), separator, quitRow}));

    // Rows have nothing below them; ids from no layout are reported.
    EXPECT_EQ(menuCall("AboutToShow", "i", 4), "false");
    EXPECT_EQ(menuCall("AboutToShow", "i", 9), invalid);
    EXPECT_EQ(menuCall("AboutToShowGroup", "ai", 4, 3, 42, -1, 8), "[] [42,-1]");
    // The root listed twice is one rebuild; the ids a host asks about are those of its layout.
    fakes.service.status = serviceEnabled;
    EXPECT_EQ(menuCall("AboutToShowGroup", "ai", 4, 8, 0, 0, 99), "[0] [99]");
    EXPECT_EQ(layoutUpdates, (std::vector<std::string>{"1 0", "2 0", "3 0"}));
    EXPECT_EQ(menu->rows().size(), 7u);

    auto again = DBusMenu::start(server.get(), loop, fakes.delegate);
    EXPECT_TRUE(std::holds_alternative<std::error_code>(again)) << "one menu per connection";
}

TEST_F(MenuOnTheBus, LayoutAndPropertyQueriesAnswerWhatIsAskedOrAnError) {
    ASSERT_EQ(menuCall("AboutToShow", "i", 0), "true");
    const std::pair<std::function<std::string()>, std::string> cases[] = {
        {[&] { return layout(0, 0); }, "1 (0 {children-display=submenu} [])"},
        {[&] { return layout(7, -1); }, "1 " + row(7, quitRow)},
        {[&] { return layout(8, -1); }, invalid},
        {[&] { return menuCall("GetLayout", "iias", 0, 1, 2, "toggle-state", "label"); },
         "1 (0 {} [" + row(1, "label=Sollun \xE2\x80\x94 Wake From Sleep") +
             ",(2 {label=Active \xE2\x80\x94 no upcoming alarm} []),(3 {} []),(4 {label=Launch "
             "Sollun} []),(5 {label=Start at Login,toggle-state=0} []),(6 {} []),(7 "
             "{label=Quit SollunHelper} [])])"},
        // Names the menu does not know ask for nothing, not for everything.
        {[&] { return menuCall("GetLayout", "iias", 5, -1, 1, "x-unknown"); }, "1 (5 {} [])"},
        // Unknown ids left out, each item answered once.
        {[&] { return menuCall("GetGroupProperties", "aias", 5, 5, 99, -3, 1, 5, 1, "label"); },
         "[(5 {label=Start at Login}),(1 {label=Sollun \xE2\x80\x94 Wake From Sleep})]"},
        {[&] { return menuCall("GetGroupProperties", "aias", 1, 42, 0); }, "[]"},
        {[&] { return menuCall("GetGroupProperties", "aias", 0, 1, "type"); },
         "[(0 {}),(1 {}),(2 {}),(3 {type=separator}),(4 {}),(5 {}),(6 {type=separator}),(7 {})]"},
        {[&] { return menuCall("GetProperty", "is", 7, "shortcut"); }, "[[Control,q]]"},
        {[&] { return menuCall("GetProperty", "is", 3, "label"); }, invalid},
        {[&] {
             return call(dbusMenuPath, "org.freedesktop.DBus.Properties", "GetAll", "s",
                         dbusMenuInterface);
         },
         "{Version=3,TextDirection=ltr,Status=normal,IconThemePath=[]}"},
    };
    for (const auto& [query, expected] : cases)
        EXPECT_EQ(query(), expected);
    EXPECT_EQ(fakes.effects(), std::vector<int>(5, 0));

    // Hosts read a single '_' as a mnemonic mark.
    for (const auto& [title, shown] : {std::pair{"a_b", "a__b"}, {"__x_", "____x__"}, {"", ""}})
        EXPECT_EQ(dbusMenuLabel(title), shown);
}

// --- Clicks ---

TEST_F(MenuOnTheBus, OnlyClicksOnCommandsActAndEachActsOnceAfterTheReply) {
    fakes.service.status = serviceRequiresApproval;
    ASSERT_EQ(menuCall("AboutToShow", "i", 0), "true");
    // row, login item status -> approvals, URLs opened, login item registrations and
    // unregistrations, quits
    const std::tuple<int, std::int64_t, std::vector<int>> commands[] = {
        {4, 0, {1, 0, 0, 0, 0}},
        {5, 0, {0, 1, 0, 0, 0}},
        {6, 2, {0, 0, 1, 0, 0}}, // anything but enabled, waiting for approval included
        {6, LoginItem::enabled, {0, 0, 0, 1, 0}},
        {8, 0, {0, 0, 0, 0, 1}}};
    for (const bool grouped : {false, true}) {
        for (const auto& [id, loginStatus, expected] : commands) {
            SCOPED_TRACE(testing::Message() << "row " << id << (grouped ? " in a group" : ""));
            fakes.forgetEffects();
            fakes.loginItem->currentStatus = loginStatus;
            EXPECT_EQ(grouped ? menuCall("EventGroup", "a(isvu)", 1, id, "clicked", "i", 0, 0u)
                              : menuCall("Event", "isvu", id, "clicked", "s", "", 0u),
                      grouped ? "[]" : "");
            runPosted();
            EXPECT_EQ(fakes.effects(), expected);
            EXPECT_EQ(fakes.workspace->urls,
                      std::vector<std::string>(expected[1], "sollun://show"));
        }
    }

    // The root, disabled rows and separators, and events other than clicks, do nothing.
    fakes.forgetEffects();
    for (const auto& [id, event] : std::vector<std::pair<int, const char*>>{
             {0, "clicked"}, {1, "clicked"}, {2, "clicked"}, {3, "clicked"}, {4, "hovered"}})
        EXPECT_EQ(menuCall("Event", "isvu", id, event, "i", 0, 0u), "") << id << event;
    EXPECT_EQ(menuCall("Event", "isvu", 9, "clicked", "i", 0, 0u), invalid);
    // Event data of any shape; unknown ids listed, the others' clicks carried out, a click on an
    // action still waiting to run counted once.
    EXPECT_EQ(menuCall("EventGroup", "a(isvu)", 5, 9, "clicked", "as", 1, "x", 0u, 6, "clicked",
                       "a{sv}", 0, 0u, -2, "hovered", "i", 0, 0u, 6, "clicked", "i", 0, 0u, 1,
                       "clicked", "i", 0, 0u),
              "[9,-2]");
    runPosted();
    EXPECT_EQ(fakes.effects(), (std::vector<int>{0, 0, 1, 0, 0}));
}

// --- The status item ---

TEST_F(MenuOnTheBus, TheItemServesWithoutAWatcherAndRegistersWithEachOneThatAppears) {
    startItem();
    const std::string name = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
    EXPECT_EQ(item->busName(), name);
    destination = name; // a tray calls the item by that name
    EXPECT_EQ(call(statusNotifierItemPath, "org.freedesktop.DBus.Properties", "GetAll", "s",
                   statusNotifierItemInterface),
              "{Category=ApplicationStatus,Id=com.kestrovane.sollun.helper,Title=SollunHelper,"
              "Status=Active,WindowId=0,IconThemePath=/opt/sollun/share/icons,"
              "IconName=sollun-helper-symbolic,IconPixmap=[],OverlayIconName=,"
              "OverlayIconPixmap=[],AttentionIconName=,AttentionIconPixmap=[],"
              "AttentionMovieName=,ToolTip=(sollun-helper-symbolic [] SollunHelper ),"
              "ItemIsMenu=true,Menu=/MenuBar}");
    // The call above was answered after the bus turned the first registration away for want of
    // a watcher, so only a watcher's arrival can bring the next one.
    auto first = std::make_unique<FakeWatcher>(bus.address(), loop);
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(first->registered, std::vector<std::string>{name});
    first.reset(); // the tray restarts
    FakeWatcher second(bus.address(), loop);
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(second.registered, std::vector<std::string>{name});
}

TEST_F(MenuOnTheBus, TheItemRegistersWithAWatcherAlreadyThere) {
    FakeWatcher watcher(bus.address(), loop);
    startItem();
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(watcher.registered, std::vector<std::string>{item->busName()});
}

} // namespace
} // namespace sollun::helper
