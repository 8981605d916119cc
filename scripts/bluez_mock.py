#!/usr/bin/python3
"""A stand-in for bluetoothd on a private D-Bus, so that the Qt Bluetooth
backend can be driven end to end on a machine without a radio.

Start a private dbus-daemon, point DBUS_SYSTEM_BUS_ADDRESS at it (for this
process and for the program under test, which also needs
BLUETOOTH_FORCE_DBUS_LE_VERSION=5.66 because Qt cannot ask a mock for its
version), then run:

    /usr/bin/python3 scripts/bluez_mock.py [options]

  --meter HOST:PORT    a device backed by a simulated peripheral speaking the
                       virtual link (zevq-sim): its name, GATT services and
                       signal strength (-52 dBm unless it sends RSSI) come
                       from the peripheral's ADV/SERVICE/RSSI lines; Connect,
                       StartNotify and WriteValue are forwarded to it and its
                       NOTIFY lines become Value changes
  --device NAME        a device with the serial service whose writes succeed
                       and go nowhere
  --plain-device NAME  a device with a battery service only
  --late-name NAME     like --device, but the name comes 300 ms after the
                       device is first seen
  --late-meter HOST:PORT  like --meter, with the name coming late as above
  --no-adapter         start without an adapter (bluetoothd without a dongle)
  --powered-off        the adapter is switched off
  --log FILE           dbusmock's log of every call

Devices appear when a scan starts (as with a real adapter) and Qt may remove
them again from the adapter's cache; they come back with the next scan.

Control lines on stdin:
  FAIL-WRITES N [NAME]   the next N writes fail with org.bluez.Error.Failed
  POWER 0|1              switch the adapter off or on
  ADAPTER 0|1            remove or add the adapter
  HOLD-CONNECT 0|1       Connect gets no answer (Disconnect ends the attempt)
  DROP NAME              the device drops the connection
  NOTIFY NAME HEX        a notification of the serial characteristic
  QUIT
Events on stdout, one line each: READY, SCAN 1|0, CONNECT NAME,
DISCONNECT NAME, STARTNOTIFY NAME UUID, STOPNOTIFY NAME UUID,
CCCD NAME UUID HEX, WRITE NAME UUID HEX, WRITTEN NAME UUID STATUS,
OVERLAP NAME UUID (a write came while another was unanswered),
NOTIFY NAME UUID HEX, OK COMMAND (a control line was carried out),
ERROR TEXT.
"""

import argparse
import os
import socket
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

from dbusmock import mockobject

ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
SERVICE_IFACE = 'org.bluez.GattService1'
CHAR_IFACE = 'org.bluez.GattCharacteristic1'
DESC_IFACE = 'org.bluez.GattDescriptor1'
OBJECT_MANAGER_IFACE = 'org.freedesktop.DBus.ObjectManager'

SERIAL_SERVICE = '49535343-fe7d-4ae5-8fa9-9fafd205e455'
SERIAL_CHAR = '49535343-1e4d-4bd9-ba61-23c647249616'
BATTERY_SERVICE = '0000180f-0000-1000-8000-00805f9b34fb'
BATTERY_LEVEL = '00002a19-0000-1000-8000-00805f9b34fb'
CCCD = '00002902-0000-1000-8000-00805f9b34fb'

PEER_TIMEOUT = 5.0  # seconds the peripheral gets for each answer


def emit(*words):
    sys.stdout.write(' '.join(str(w) for w in words) + '\n')
    sys.stdout.flush()


def failed(text):
    return dbus.exceptions.DBusException(text, name='org.bluez.Error.Failed')


def norm_uuid(text):
    return text.strip().strip('{}').lower()


def async_method(iface, in_sig, out_sig=''):
    """A D-Bus method that answers later, through reply() or error()."""
    count = len(list(dbus.Signature(in_sig)))

    def wrap(handler):
        def method(obj, arg1=None, arg2=None, reply=None, error=None):
            handler(obj, *(arg1, arg2)[:count], reply=reply, error=error)
        fn = dbus.service.method(iface, out_signature=out_sig, async_callbacks=('reply', 'error'))(method)
        # pylint: disable=protected-access
        fn._dbus_in_signature = in_sig
        fn._dbus_args = ['arg1', 'arg2'][:count]
        fn.__name__ = handler.__name__
        return fn
    return wrap


def install(obj, iface, name, fn):
    """Puts `fn` (from async_method) on a mock object under `name`."""
    # pylint: disable=protected-access
    obj.methods.setdefault(iface, {})[name] = (fn._dbus_in_signature, fn._dbus_out_signature, '', fn)


class VLinkPeer:
    """One TCP connection to a simulated peripheral. Answers are awaited
    through expect(); every other line goes to on_line, in order."""

    def __init__(self, host, port, on_line):
        self.host, self.port, self.on_line = host, port, on_line
        self.sock = None
        self.buf = b''
        self.watch = None
        self.expected = []  # [(first word, uuid or None, callback)]
        self.rssi = None  # from the peripheral's RSSI line, if it sends one

    def open(self):
        """Connects and reads the advertisement; returns (name, services)."""
        self.close()
        self.sock = socket.create_connection((self.host, self.port), timeout=PEER_TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        name, services = None, []
        while True:
            line = self._blocking_line()
            if line is None:
                self.close()
                raise OSError('no advertisement from %s:%d' % (self.host, self.port))
            if line.startswith('ADV'):
                name = line[4:] if len(line) > 3 else ''
            elif line.startswith('RSSI ') and name is not None:
                try:
                    self.rssi = int(line[5:])
                except ValueError:
                    pass
            elif line.startswith('SERVICE ') and name is not None:
                uuids = [norm_uuid(u) for u in line.split(' ')[1:] if u]
                services.append((uuids[0], uuids[1:]))
            elif line == 'END' and name is not None:
                break
        self.sock.setblocking(False)
        self.watch = GLib.io_add_watch(self.sock.fileno(), GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR,
                                       self._readable)
        if b'\n' in self.buf:
            GLib.idle_add(self._drain)
        return name, services

    def close(self):
        """Ends the connection; answers still awaited come as None."""
        if self.watch is not None:
            GLib.source_remove(self.watch)
            self.watch = None
        if self.sock is not None:
            self.sock.close()
            self.sock = None
        self.buf = b''
        expected, self.expected = self.expected, []
        for _, _, callback in expected:
            callback(None)

    @property
    def is_open(self):
        return self.sock is not None

    def send(self, *words):
        self.sock.setblocking(True)
        try:
            self.sock.sendall((' '.join(words) + '\n').encode('ascii'))
        finally:
            self.sock.setblocking(False)

    def expect(self, first, uuid, callback, timeout=PEER_TIMEOUT):
        """callback(words) for the next line `first` [uuid ...], or
        callback(None) when it does not come in time."""
        entry = (first, uuid, callback)
        self.expected.append(entry)

        def expire():
            if entry in self.expected:
                self.expected.remove(entry)
                callback(None)
            return False
        GLib.timeout_add(int(timeout * 1000), expire)

    def _blocking_line(self):
        while b'\n' not in self.buf:
            try:
                data = self.sock.recv(65536)
            except OSError:
                return None
            if not data:
                return None
            self.buf += data
        line, self.buf = self.buf.split(b'\n', 1)
        return line.decode('utf-8', 'replace').rstrip('\r')

    def _dispatch(self, line):
        words = line.split(' ')
        for entry in self.expected:
            first, uuid, callback = entry
            if words[0] == first and (uuid is None or (len(words) > 1 and norm_uuid(words[1]) == uuid)):
                self.expected.remove(entry)
                callback(words)
                return
        self.on_line(line)

    def _drain(self):
        while self.sock is not None and b'\n' in self.buf:
            line, self.buf = self.buf.split(b'\n', 1)
            self._dispatch(line.decode('utf-8', 'replace').rstrip('\r'))
        return False

    def _readable(self, _fd, _condition):
        if self.sock is None:
            return False
        try:
            data = self.sock.recv(65536)
        except BlockingIOError:
            return True
        except OSError:
            data = b''
        self.buf += data
        self._drain()
        if not data and self.sock is not None:
            self.watch = None  # this source ends by returning False
            self.on_line(None)  # the peripheral closed the connection
            return False
        return self.sock is not None


@async_method(DEVICE_IFACE, '')
def device_connect(obj, reply, error):
    obj.mock_device.connect(reply, error)


@async_method(CHAR_IFACE, '')
def char_start_notify(obj, reply, error):
    obj.mock_device.start_notify(obj.mock_uuid, reply, error)


@async_method(CHAR_IFACE, 'aya{sv}')
def char_write_value(obj, value, _options, reply, error):
    obj.mock_device.write(obj.mock_uuid, bytes(value), reply, error)


class Device:
    """One mocked peripheral and its objects on the bus."""

    def __init__(self, mock, name, address, services, peer=None):
        self.mock, self.name, self.address = mock, name, address
        self.services = services  # [(service-uuid, [char-uuid, ...])]
        self.peer = peer
        self.path = None
        self.chars = {}  # uuid -> object path
        self.connected = False
        self.connecting = None  # (reply, error) of a Connect not yet answered
        self.notifying = set()
        self.writes = 0  # WriteValue calls not yet answered
        self.late_name = False  # the first advertisement carries no name

    # -- presence on the bus --------------------------------------------
    def rssi(self):
        if self.peer is not None and self.peer.rssi is not None and -127 <= self.peer.rssi <= 20:
            return self.peer.rssi
        return -52

    def announce(self):
        if self.path is not None:
            return
        self.path = '/org/bluez/hci0/dev_' + self.address.replace(':', '_')
        props = {
            'Address': dbus.String(self.address), 'AddressType': dbus.String('random'),
            'Alias': dbus.String(self.name if not self.late_name else self.address.replace(':', '-')),
            'Adapter': dbus.ObjectPath('/org/bluez/hci0'),
            'Paired': dbus.Boolean(False), 'Trusted': dbus.Boolean(False), 'Blocked': dbus.Boolean(False),
            'Connected': dbus.Boolean(False), 'ServicesResolved': dbus.Boolean(False),
            'LegacyPairing': dbus.Boolean(False), 'RSSI': dbus.Int16(self.rssi()),
            'UUIDs': dbus.Array([s for s, _ in self.services], signature='s'),
            'ManufacturerData': dbus.Dictionary({}, signature='qv'),
            'ServiceData': dbus.Dictionary({}, signature='sv'),
        }
        if not self.late_name:
            props['Name'] = dbus.String(self.name)
        self.add_object(self.path, DEVICE_IFACE, props, [
            ('Disconnect', '', '', lambda _o: self.disconnect()),
            ('Pair', '', '', ''), ('CancelPairing', '', '', ''),
        ])
        obj = mockobject.objects[self.path]
        obj.mock_device = self
        install(obj, DEVICE_IFACE, 'Connect', device_connect)
        for i, (service, chars) in enumerate(self.services):
            self.add_service(i, service, chars)
        if self.late_name:
            # The name comes with a later advertisement (a scan response).
            def named():
                if self.path is not None:
                    self.set_props(self.path, DEVICE_IFACE, {'Name': dbus.String(self.name),
                                                             'Alias': dbus.String(self.name)})
                return False
            GLib.timeout_add(300, named)

    def add_service(self, index, service, chars):
        spath = '%s/service%04x' % (self.path, 0x10 * (index + 1))
        self.add_object(spath, SERVICE_IFACE, {
            'UUID': dbus.String(service), 'Device': dbus.ObjectPath(self.path),
            'Primary': dbus.Boolean(True), 'Includes': dbus.Array([], signature='o')}, [])
        for j, char in enumerate(chars):
            cpath = '%s/char%04x' % (spath, 0x10 * (index + 1) + 2 * j + 1)
            self.chars[char] = cpath
            flags = ['read', 'notify'] if char == BATTERY_LEVEL else \
                ['write', 'write-without-response', 'notify']
            self.add_object(cpath, CHAR_IFACE, {
                'UUID': dbus.String(char), 'Service': dbus.ObjectPath(spath),
                'Value': dbus.Array([], signature='y'), 'Notifying': dbus.Boolean(False),
                'Flags': dbus.Array(flags, signature='s')}, [
                ('ReadValue', 'a{sv}', 'ay', lambda _o, _opt: dbus.Array([], signature='y')),
                ('StopNotify', '', '', lambda _o, c=char: self.stop_notify(c)),
            ])
            obj = mockobject.objects[cpath]
            obj.mock_device, obj.mock_uuid = self, char
            install(obj, CHAR_IFACE, 'StartNotify', char_start_notify)
            install(obj, CHAR_IFACE, 'WriteValue', char_write_value)
            self.add_object(cpath + '/desc%04x' % (0x10 * (index + 1) + 2 * j + 2), DESC_IFACE, {
                'UUID': dbus.String(CCCD), 'Characteristic': dbus.ObjectPath(cpath),
                'Value': dbus.Array([], signature='y'),
                'Flags': dbus.Array(['read', 'write'], signature='s')}, [
                ('ReadValue', 'a{sv}', 'ay', lambda _o, _opt: dbus.Array([], signature='y')),
                ('WriteValue', 'aya{sv}', '', lambda _o, value, _opt, c=char: self.write_cccd(c, value)),
            ])

    def add_object(self, path, iface, props, methods):
        self.mock.main.AddObject(path, iface, props, methods)
        self.mock.main.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                                  [dbus.ObjectPath(path), {iface: props}])

    def remove(self):
        """Qt clears stale devices from the adapter's cache before a scan."""
        if self.path is None:
            return
        if self.connected or self.connecting:
            self.disconnect()
        doomed = sorted((p for p in mockobject.objects if p == self.path or p.startswith(self.path + '/')),
                        key=len, reverse=True)
        for p in doomed:
            ifaces = [i for i in mockobject.objects[p].props if i.startswith('org.bluez.')]
            self.mock.main.RemoveObject(p)
            self.mock.main.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                                      [dbus.ObjectPath(p), dbus.Array(ifaces, signature='s')])
        self.path = None
        self.chars = {}

    def set_props(self, path, iface, props):
        obj = mockobject.objects[path]
        for key, value in props.items():
            obj.props[iface][key] = value
        obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                       [iface, dbus.Dictionary(props, signature='sv'), dbus.Array([], signature='s')])

    # -- the connection ----------------------------------------------------
    def connect(self, reply, error):
        emit('CONNECT', self.name)
        if self.connected:
            error(dbus.exceptions.DBusException('Already Connected', name='org.bluez.Error.AlreadyConnected'))
            return
        if self.connecting:
            error(dbus.exceptions.DBusException('In Progress', name='org.bluez.Error.InProgress'))
            return
        self.connecting = (reply, error)
        if self.mock.hold_connect:
            return  # the link never comes up; Disconnect ends the attempt
        if self.peer is None:
            self.connection_up()
            return
        try:
            if not self.peer.is_open:
                self.peer.open()
            self.peer.send('CONNECT')
        except OSError as e:
            emit('ERROR', e)
            self.connection_failed()
            return
        self.peer.expect('CONNECTED', None, lambda words: self.connection_up() if words else
                         self.connection_failed())

    def connection_up(self):
        if not self.connecting:
            return
        reply, _ = self.connecting
        self.connecting = None
        self.connected = True
        self.set_props(self.path, DEVICE_IFACE, {'Connected': dbus.Boolean(True)})
        self.set_props(self.path, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(True)})
        reply()

    def connection_failed(self):
        if not self.connecting:
            return
        _, error = self.connecting
        self.connecting = None
        if self.peer is not None:
            self.peer.close()
        error(failed('le-connection-abort-by-local'))

    def disconnect(self, by_peer=False):
        if self.connecting:
            self.connection_failed()
            return
        if not self.connected:
            if by_peer:
                return
            raise dbus.exceptions.DBusException('Not Connected', name='org.bluez.Error.NotConnected')
        emit('DISCONNECT', self.name)
        self.connected = False
        for uuid in list(self.notifying):
            self.set_notifying(uuid, False)
        if self.peer is not None:
            self.peer.close()  # the peripheral starts afresh with the next connection
        if self.path is not None:
            self.set_props(self.path, DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(False),
                                                     'Connected': dbus.Boolean(False)})

    def not_connected(self, error):
        if self.connected:
            return False
        error(dbus.exceptions.DBusException('Not connected', name='org.bluez.Error.NotConnected'))
        return True

    # -- notifications -------------------------------------------------------
    def set_notifying(self, uuid, on):
        if on:
            self.notifying.add(uuid)
        else:
            self.notifying.discard(uuid)
        if uuid in self.chars and self.chars[uuid] in mockobject.objects:
            self.set_props(self.chars[uuid], CHAR_IFACE, {'Notifying': dbus.Boolean(on)})

    def start_notify(self, uuid, reply, error):
        if self.not_connected(error):
            return
        emit('STARTNOTIFY', self.name, uuid)
        if self.peer is None or uuid in self.notifying:
            self.set_notifying(uuid, True)
            reply()
            return

        def answered(words):
            if words is None or len(words) < 3 or words[2] != '0':
                error(failed('the peripheral refused notifications'))
            else:
                self.set_notifying(uuid, True)
                reply()
        self.peer.send('SUBSCRIBE', uuid)
        self.peer.expect('SUBSCRIBED', uuid, answered)

    def stop_notify(self, uuid):
        emit('STOPNOTIFY', self.name, uuid)
        self.set_notifying(uuid, False)

    def write_cccd(self, uuid, value):
        # bluetoothd refuses direct writes of this descriptor; a client that
        # tries gets the same answer as from the real one.
        emit('CCCD', self.name, uuid, bytes(value).hex().upper())
        raise dbus.exceptions.DBusException('Not permitted', name='org.bluez.Error.NotPermitted')

    def notify(self, uuid, data):
        emit('NOTIFY', self.name, uuid, data.hex().upper())
        if uuid not in self.notifying or uuid not in self.chars:
            return
        self.set_props(self.chars[uuid], CHAR_IFACE,
                       {'Value': dbus.Array([dbus.Byte(b) for b in data], signature='y')})

    # -- writes ------------------------------------------------------------------
    def write(self, uuid, data, reply, error):
        if self.not_connected(error):
            return
        if self.writes:
            # A real radio may reorder or drop writes a client does not wait for.
            emit('OVERLAP', self.name, uuid)
        emit('WRITE', self.name, uuid, data.hex().upper())
        self.writes += 1

        def answered(status):
            self.writes -= 1
            emit('WRITTEN', self.name, uuid, status)
            if status == 0:
                reply()
            else:
                error(failed('ATT error 0x%02x' % status))
        if self.mock.take_write_failure(self.name):
            GLib.idle_add(lambda: answered(133) and False)
        elif self.peer is None:
            GLib.idle_add(lambda: answered(0) and False)
        else:
            self.peer.send('WRITE', uuid, data.hex().upper())
            self.peer.expect('WRITTEN', uuid, lambda words: answered(
                int(words[2]) if words and len(words) > 2 and words[2].isdigit() else 133))

    def on_peer_line(self, line):
        if line is None:
            self.disconnect(by_peer=True)
            return
        words = line.split(' ')
        if words[0] == 'NOTIFY' and len(words) >= 2:
            try:
                data = bytes.fromhex(words[2] if len(words) > 2 else '')
            except ValueError:
                return
            self.notify(norm_uuid(words[1]), data)


class Mock:
    def __init__(self, args):
        self.args = args
        self.devices = []
        self.hold_connect = False
        self.write_failures = {}  # device name or '' -> count
        self.adapter = None
        dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
        self.bus = dbus.SystemBus()
        self.bus_name = dbus.service.BusName('org.bluez', self.bus, do_not_queue=True)
        self.main = mockobject.DBusMockObject(self.bus_name, '/', OBJECT_MANAGER_IFACE, {},
                                              args.log, True)
        mockobject.objects['/'] = self.main
        self.main.AddTemplate('bluez5', dbus.Dictionary({}, signature='sv'))

    def add_adapter(self):
        if self.adapter is not None:
            return
        self.adapter = self.main.AddAdapter('hci0', 'tarvolin-test')
        obj = mockobject.objects[self.adapter]
        obj.AddMethod(ADAPTER_IFACE, 'StartDiscovery', '', '', lambda _o: self.start_discovery())
        obj.AddMethod(ADAPTER_IFACE, 'StopDiscovery', '', '', lambda _o: self.stop_discovery())
        obj.AddMethod(ADAPTER_IFACE, 'RemoveDevice', 'o', '', lambda _o, path: self.remove_device(path))
        if self.args.powered_off:
            self.power(False)

    def remove_adapter(self):
        if self.adapter is None:
            return
        for d in self.devices:
            d.remove()
        self.main.RemoveAdapter('hci0')
        self.adapter = None

    def power(self, on):
        obj = mockobject.objects[self.adapter]
        obj.props[ADAPTER_IFACE]['Powered'] = dbus.Boolean(on, variant_level=1)
        obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [
            ADAPTER_IFACE, {'Powered': dbus.Boolean(on, variant_level=1)}, []])

    def set_discovering(self, on):
        obj = mockobject.objects[self.adapter]
        obj.props[ADAPTER_IFACE]['Discovering'] = dbus.Boolean(on, variant_level=1)
        obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [
            ADAPTER_IFACE, {'Discovering': dbus.Boolean(on, variant_level=1)}, []])

    def start_discovery(self):
        if not mockobject.objects[self.adapter].props[ADAPTER_IFACE]['Powered']:
            raise dbus.exceptions.DBusException('Resource Not Ready', name='org.bluez.Error.NotReady')
        emit('SCAN', 1)
        self.set_discovering(True)

        # Advertisements arrive a little after the scan starts.
        def appear():
            if self.adapter is not None and \
                    mockobject.objects[self.adapter].props[ADAPTER_IFACE]['Discovering']:
                for d in self.devices:
                    d.announce()
            return False
        GLib.timeout_add(100, appear)

    def stop_discovery(self):
        emit('SCAN', 0)
        self.set_discovering(False)

    def remove_device(self, path):
        for d in self.devices:
            if d.path == path:
                d.remove()
                return
        raise dbus.exceptions.DBusException('Does Not Exist', name='org.bluez.Error.DoesNotExist')

    def find(self, name):
        return next((d for d in self.devices if d.name == name), None)

    def take_write_failure(self, name):
        for key in (name, ''):
            if self.write_failures.get(key, 0) > 0:
                self.write_failures[key] -= 1
                return True
        return False

    def control(self, line):
        words = line.split(' ')
        cmd = words[0].upper()
        if cmd == 'QUIT':
            raise SystemExit(0)
        if cmd == 'FAIL-WRITES' and len(words) >= 2:
            key = ' '.join(words[2:])
            self.write_failures[key] = self.write_failures.get(key, 0) + int(words[1])
        elif cmd == 'POWER' and len(words) == 2 and self.adapter is not None:
            self.power(words[1] == '1')
        elif cmd == 'ADAPTER' and len(words) == 2:
            if words[1] == '1':
                self.add_adapter()
            else:
                self.remove_adapter()
        elif cmd == 'HOLD-CONNECT' and len(words) == 2:
            self.hold_connect = words[1] == '1'
        elif cmd == 'DROP' and len(words) >= 2 and self.find(' '.join(words[1:])):
            self.find(' '.join(words[1:])).disconnect(by_peer=True)
        elif cmd == 'NOTIFY' and len(words) >= 3 and self.find(' '.join(words[1:-1])):
            self.find(' '.join(words[1:-1])).notify(SERIAL_CHAR, bytes.fromhex(words[-1]))
        else:
            emit('ERROR', 'unknown control line:', line)
        emit('OK', cmd)


def address(n):
    return '00:1B:7A:00:%02X:%02X' % (n >> 8, n & 0xFF)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--meter', action='append', default=[], metavar='HOST:PORT')
    parser.add_argument('--device', action='append', default=[], metavar='NAME')
    parser.add_argument('--plain-device', action='append', default=[], metavar='NAME')
    parser.add_argument('--late-name', action='append', default=[], metavar='NAME')
    parser.add_argument('--late-meter', action='append', default=[], metavar='HOST:PORT')
    parser.add_argument('--no-adapter', action='store_true')
    parser.add_argument('--powered-off', action='store_true')
    parser.add_argument('--log', default=os.devnull)
    args = parser.parse_args()

    mock = Mock(args)
    n = 1
    meters = [(e, False) for e in args.meter] + [(e, True) for e in args.late_meter]
    for endpoint, late in meters:
        host, _, port = endpoint.rpartition(':')
        device = Device(mock, '', address(n), [])
        device.peer = VLinkPeer(host or '127.0.0.1', int(port), device.on_peer_line)
        device.late_name = late
        try:
            device.name, device.services = device.peer.open()
        except OSError as e:
            sys.exit('bluez_mock: %s: %s' % (endpoint, e))
        mock.devices.append(device)
        n += 1
    for name in args.device:
        mock.devices.append(Device(mock, name, address(n), [(SERIAL_SERVICE, [SERIAL_CHAR])]))
        n += 1
    for name in args.late_name:
        device = Device(mock, name, address(n), [(SERIAL_SERVICE, [SERIAL_CHAR])])
        device.late_name = True
        mock.devices.append(device)
        n += 1
    for name in args.plain_device:
        mock.devices.append(Device(mock, name, address(n), [(BATTERY_SERVICE, [BATTERY_LEVEL])]))
        n += 1
    if not args.no_adapter:
        mock.add_adapter()

    pending = [b'']

    def on_stdin(fd, _condition):
        data = os.read(fd, 4096)
        if not data:
            loop.quit()  # the test went away
            return False
        pending[0] += data
        while b'\n' in pending[0]:
            line, pending[0] = pending[0].split(b'\n', 1)
            try:
                mock.control(line.decode('utf-8', 'replace').strip())
            except SystemExit:
                loop.quit()
                return False
            except Exception as e:  # pylint: disable=broad-except
                emit('ERROR', e)
        return True

    loop = GLib.MainLoop()
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, on_stdin)
    emit('READY')
    loop.run()


if __name__ == '__main__':
    main()
