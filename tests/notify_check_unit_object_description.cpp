// What the check reads from a notification server's introspection data:
// the forms servers and hand-written descriptions use, and the malformed
// ones a broken server sends, each with exactly what must come out.
#include "object_interfaces.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct IntrospectionCase {
    const char* name;
    std::string xml;
    std::vector<std::string> names;
    std::map<std::string, std::string> signatures;
};

const std::string notify_args = R"(<arg type="s" name="app_name" direction="in"/>
      <arg type="u" name="replaces_id" direction="in"/>
      <arg type="s" name="app_icon" direction="in"/>
      <arg type="s" name="summary" direction="in"/>
      <arg type="s" name="body" direction="in"/>
      <arg type="as" name="actions" direction="in"/>
      <arg type="a{sv}" name="hints" direction="in"/>
      <arg type="i" name="expire_timeout" direction="in"/>
      <arg type="u" name="id" direction="out"/>)";

std::string object(const std::string& inside)
{
    return R"(<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
)" + inside
        + "\n</node>\n";
}

const std::string peer = R"(<interface name="org.freedesktop.DBus.Peer">
  <method name="Ping"/>
  <method name="GetMachineId"><arg type="s" name="machine_uuid" direction="out"/></method>
</interface>)";

TEST(Introspection, YieldsTheObjectsOwnInterfacesAndTheInputSignatureOfEachMethod)
{
    const IntrospectionCase cases[] = {
        {"a server's data, as sd-bus writes it", object(peer + R"(
<interface name="org.orbisk.ovx.Notification1">
  <method name="Notify">
      )" + notify_args + R"(
  </method>
  <signal name="ActionInvoked"><arg type="u" name="id"/><arg type="s" name="key"/></signal>
  <property name="Version" type="s" access="read"/>
</interface>
<node name="child"/>)"),
            {"org.freedesktop.DBus.Peer", "org.orbisk.ovx.Notification1"},
            {{"org.freedesktop.DBus.Peer.Ping", ""}, {"org.freedesktop.DBus.Peer.GetMachineId", ""},
                {"org.orbisk.ovx.Notification1.Notify", "susssasa{sv}i"}}},
        {"Notify with another signature",
            object(R"(<interface name="org.orbisk.ovx.Notification1"><method name="Notify">
  <arg type="s"/><arg type="u"/><arg type="s"/><arg type="s"/><arg type="s"/><arg type="as"/><arg type="a{sv}"/>
  <arg type="u" direction="out"/></method></interface>)"),
            {"org.orbisk.ovx.Notification1"}, {{"org.orbisk.ovx.Notification1.Notify", "susssasa{sv}"}}},
        {"arguments without a direction are inputs, out ones anywhere are not",
            object(R"(<interface name="i"><method name="m"><arg type="u" direction="out"/><arg type="s"/>
  <arg direction="in" type="x"/><arg type="b" direction="out"/></method></interface>)"),
            {"i"}, {{"i.m", "sx"}}},
        {"spaces, tabs and newlines around = and between attributes",
            object("<interface\n\tname =\t'i' ><method  name\n=\n\"m\"\t><arg\ttype = \"s\"  direction= 'in' />"
                   "<arg type =\"u\"\ndirection  =\"out\"/></method ></interface >"),
            {"i"}, {{"i.m", "s"}}},
        {"unquoted values are skipped, and the attributes after them still read",
            object(R"(<interface name=i><method name="m"/></interface>
<interface name="j"><method name="n"><arg type=s/><arg direction=in type="u"/></method></interface>)"),
            {"j"}, {{"j.n", "u"}}},
        {"an unterminated value ends the tag's attributes",
            object(R"(<interface name="i"><method name="m"><arg direction="in type="s"/><arg type="u"/></method>
<method name="n><arg type="s"/></method></interface>)"),
            {"i"}, {{"i.m", "u"}}},
        {"a quoted '>' does not end a tag, nor a name inside another value match",
            object(R"(<interface name="i"><method name="m"><arg doc="a > b" type="s"/>)"
                   R"(<arg doc="type='x' direction='out'" type="u"/></method></interface>)"),
            {"i"}, {{"i.m", "su"}}},
        {"comments, processing instructions and CDATA-free declarations",
            "<?xml version=\"1.0\"?>\n" + object(R"(<!-- <interface name="hidden"> a > b < c -->
<interface name="i"><!----><method name="m"><!-- <arg type="x"/> --><arg type="s"/></method></interface>)"),
            {"i"}, {{"i.m", "s"}}},
        {"an unterminated comment hides the rest", object(R"(<interface name="i"/><!-- <interface name="j"/>)"), {"i"},
            {}},
        {"data cut off inside a tag keeps what came before",
            R"(<node><interface name="i"><method name="m"><arg type="s"/><arg type="u")", {"i"}, {{"i.m", "s"}}},
        {"a tag cut off by the next one is dropped",
            object(R"(<interface name="i"><method name="m"><arg type="s"<arg type="u"/></method><method name="n")"
                   R"(<method name="o"/></interface>)"),
            {"i"}, {{"i.m", "u"}, {"i.o", ""}}},
        {"a child node's interfaces are not the object's",
            object(R"(<node name="sub"><interface name="org.orbisk.ovx.Notification1"><method name="Notify">
)" + notify_args + R"(</method></interface></node>
<interface name="i"><method name="m"><arg type="s"/></method></interface>)"),
            {"i"}, {{"i.m", "s"}}},
        {"nested interfaces and methods count only where they belong",
            object(R"(<interface name="i"><interface name="inner"><method name="x"/></interface>
<method name="m"><method name="inner"><arg type="x"/></method><arg type="s"/></method>
<signal name="s"><arg type="u"/></signal><arg type="b"/></interface>
<method name="loose"><arg type="s"/></method>)"),
            {"i"}, {{"i.m", "s"}}},
        {"a closing tag that matches nothing open is ignored",
            object(
                R"(</method></interface><interface name="i"></arg><method name="m"><arg type="s"/></method></interface>)"),
            {"i"}, {{"i.m", "s"}}},
        {"interfaces without a node, and a method listed twice takes its last signature",
            R"(<interface name="i"><method name="m"><arg type="s"/></method><method name="m"><arg type="u"/></method></interface>)",
            {"i"}, {{"i.m", "u"}}},
        {"a name whose value the tag's end cuts off, or whose quote an unquoted value opened, hides its method",
            object(R"(<interface name="i"><method name="m"/><method name=><arg type="s"/></method>)"
                   R"(<method x=a' name='n><arg type="u"/></method></interface>)"),
            {"i"}, {{"i.m", ""}}},
        {"attributes without a value are skipped, before a name or at a tag's end",
            object(R"(<interface deprecated name="i"><method name="m" flag><arg type="s" x/></method></interface>)"),
            {"i"}, {{"i.m", "s"}}},
        {"an interface without a name hides its methods", object(R"(<interface><method name="m"/></interface>)"), {},
            {}},
        {"nothing readable", "not xml > at all", {}, {}},
        {"empty", "", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ObjectInterfaces found = parse_introspection(c.xml);
        EXPECT_EQ(found.names, c.names);
        EXPECT_EQ(found.input_signatures, c.signatures);
    }
}

} // namespace
