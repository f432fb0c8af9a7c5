#include <gtest/gtest.h>

#include <cerrno>

#include "engine/port.hpp"
#include "scripted_backend.hpp"

namespace korvane {
namespace {

using namespace test;

constexpr std::uint32_t refused_rate = 12345;

std::shared_ptr<Script> refusing_rate() {
    auto s = std::make_shared<Script>();
    s->refuse = [](const Settings& r, std::size_t) -> std::optional<SerialError> {
        if (r.baudrate == refused_rate) return SerialError::os(EINVAL);
        return std::nullopt;
    };
    return s;
}

TEST(LiveSettings, ARefusedReconfigureRestoresTheRecordAndTheDevice) {
    auto script = refusing_rate();
    auto p = scripted_port(script);
    auto before = p->state().settings;

    SettingsUpdate change;
    change.baudrate = refused_rate;
    change.timeout = Seconds::from_int(3);  // undone with the rest
    change.exclusive = std::optional<bool>(true);
    EXPECT_EQ(p->update_settings(change).error(), SerialError::os(EINVAL));
    EXPECT_EQ(p->state().settings, before);
    auto log = script->configure_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].baudrate, refused_rate);
    EXPECT_EQ(log[1], before);  // the old record went back to the line
    EXPECT_TRUE(p->is_open());

    Settings whole = before;
    whole.baudrate = refused_rate;
    whole.bytesize = 7;
    EXPECT_EQ(p->set_settings(whole).error(), SerialError::os(EINVAL));
    EXPECT_EQ(p->state().settings, before);
    EXPECT_EQ(script->configure_log().size(), 4u);
}

TEST(LiveSettings, TheFirstErrorIsReturnedWhenTheRestoreFailsToo) {
    auto script = std::make_shared<Script>();
    script->refuse = [](const Settings&, std::size_t call) -> std::optional<SerialError> {
        return SerialError::io("refused #" + std::to_string(call));
    };
    auto p = scripted_port(script);
    SettingsUpdate change;
    change.bytesize = 5;
    EXPECT_EQ(p->update_settings(change).error(), SerialError::io("refused #1"));
    EXPECT_EQ(p->state().settings.bytesize, 8);
    EXPECT_EQ(script->configure_log().size(), 2u);
}

TEST(LiveSettings, OnlyALineChangeOnAnOpenPortReachesTheDevice) {
    struct Case {
        const char* name;
        SettingsUpdate change;
        bool reaches_device;
    };
    auto with = [](auto set) {
        SettingsUpdate u;
        set(u);
        return u;
    };
    const Case cases[] = {
        {"same baudrate", with([](SettingsUpdate& u) { u.baudrate = 9600; }), false},
        {"timeout", with([](SettingsUpdate& u) { u.timeout = Seconds::from_float(0.5); }), false},
        {"write_timeout", with([](SettingsUpdate& u) { u.write_timeout = std::optional<Seconds>(); }), false},
        {"inter_byte_timeout", with([](SettingsUpdate& u) { u.inter_byte_timeout = Seconds::from_int(1); }), false},
        {"exclusive", with([](SettingsUpdate& u) { u.exclusive = std::optional<bool>(true); }), false},
        {"dsrdtr follows an unchanged rtscts", with([](SettingsUpdate& u) { u.dsrdtr = std::optional<bool>(); }), false},
        {"nothing", SettingsUpdate{}, false},
        {"baudrate", with([](SettingsUpdate& u) { u.baudrate = 115200; }), true},
        {"bytesize", with([](SettingsUpdate& u) { u.bytesize = 7; }), true},
        {"parity", with([](SettingsUpdate& u) { u.parity = Parity::Even; }), true},
        {"stopbits", with([](SettingsUpdate& u) { u.stopbits = StopBits::Two; }), true},
        {"xonxoff", with([](SettingsUpdate& u) { u.xonxoff = true; }), true},
        {"rtscts", with([](SettingsUpdate& u) { u.rtscts = true; }), true},
        {"dsrdtr", with([](SettingsUpdate& u) { u.dsrdtr = std::optional<bool>(true); }), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Any reconfigure would fail, so a needless one shows as an error.
        auto script = std::make_shared<Script>();
        script->refuse = [](const Settings&, std::size_t) -> std::optional<SerialError> {
            return SerialError::os(EIO);
        };
        auto p = scripted_port(script);
        Settings expect = p->state().settings;
        c.change.apply_to(expect);
        auto r = p->update_settings(c.change);
        EXPECT_EQ(script->configure_log().size(), c.reaches_device ? 2u : 0u);
        if (c.reaches_device) {
            EXPECT_FALSE(r);
            EXPECT_EQ(p->state().settings, Settings{});
        } else {
            EXPECT_TRUE(r);
            EXPECT_EQ(p->state().settings, expect);
        }
    }
}

TEST(LiveSettings, AnAcceptedChangeIsConfiguredWithTheStoredLineLevels) {
    auto script = refusing_rate();
    auto p = scripted_port(script);
    ASSERT_TRUE(p->set_rts(false));
    SettingsUpdate change;
    change.baudrate = 19200;
    change.timeout = Seconds::from_int(2);
    ASSERT_TRUE(p->update_settings(change));
    EXPECT_EQ(p->state().settings.baudrate, 19200u);
    EXPECT_EQ(p->state().settings.timeout, Seconds::from_int(2));
    ASSERT_EQ(script->configure_log().size(), 1u);
    EXPECT_EQ(script->configure_log()[0], p->state().settings);
    EXPECT_EQ(p->cts(), false);  // the loopback took rts off from the configure
    EXPECT_FALSE(p->state().rts);
}

TEST(LiveSettings, DsrdtrFollowsTheRtsctsStoredBeforeTheChange) {
    auto p = PortCore::create();
    SettingsUpdate change;
    change.rtscts = true;
    change.dsrdtr = std::optional<bool>();
    ASSERT_TRUE(p->update_settings(change));
    EXPECT_TRUE(p->state().settings.rtscts);
    EXPECT_FALSE(p->state().settings.dsrdtr);
    SettingsUpdate follow;
    follow.dsrdtr = std::optional<bool>();
    ASSERT_TRUE(p->update_settings(follow));
    EXPECT_TRUE(p->state().settings.dsrdtr);
}

TEST(LiveSettings, AClosedPortOnlyStoresAndTheOpenAppliesIt) {
    auto p = PortCore::create();
    Settings record;
    record.baudrate = 57600;
    record.exclusive = true;
    ASSERT_TRUE(p->set_settings(record));
    EXPECT_EQ(p->state().settings, record);
    ASSERT_TRUE(p->set_port("loop://"));
    ASSERT_TRUE(p->open());
    EXPECT_EQ(p->state().settings, record);
}

}  // namespace
}  // namespace korvane
