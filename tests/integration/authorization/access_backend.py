"""A stand-in for a desktop's org.freedesktop.impl.portal.Access backend.

Usage: access_backend.py grant|refuse|silent LOG_FILE
Answers every AccessDialog with 0 (grant) or 2 (refuse), or never (silent), and appends
"app_id=<id>" for each dialog to LOG_FILE.
"""
import sys

from gi.repository import Gio, GLib

ANSWER, LOG = sys.argv[1], sys.argv[2]
BUS_NAME = "org.freedesktop.impl.portal.desktop.quorvanetest"
INTERFACE = """
<node>
  <interface name="org.freedesktop.impl.portal.Access">
    <method name="AccessDialog">
      <arg type="o" name="handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="s" name="title" direction="in"/>
      <arg type="s" name="subtitle" direction="in"/>
      <arg type="s" name="body" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
  </interface>
</node>
"""
unanswered = []


def on_call(connection, sender, path, interface, method, parameters, invocation):
    with open(LOG, "a") as log:
        log.write("app_id=%s\n" % parameters[1])
    if ANSWER == "silent":
        unanswered.append(invocation)
        return
    response = 0 if ANSWER == "grant" else 2
    invocation.return_value(GLib.Variant("(ua{sv})", (response, {})))


bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
bus.register_object("/org/freedesktop/portal/desktop", info, on_call, None, None)
Gio.bus_own_name_on_connection(bus, BUS_NAME, Gio.BusNameOwnerFlags.NONE, None, None)
GLib.MainLoop().run()
