#!/usr/bin/env node
// A CANopen device of the npm package canopen (installed in this folder) as
// node 9 on a bus served over socketcand: a small socketcand client in raw
// mode carries its frames to and from the bus.
//
//   node canopen_peer.js PORT BUS [EDS NODE_ID]
//
// With EDS and NODE_ID the device takes its object dictionary from that
// file (the package's own reader) and joins as that node id. Without them,
// as node 9, it also has process data, mapped in its dictionary as the
// package maps PDOs (its Eds.addTransmitPdo / addReceivePdo):
//   transmit PDO 1 on 0x189, type 1 (at every SYNC on 0x80): 0x2100 the
//     SYNCs it has seen (UNSIGNED32) and 0x2101 a temperature (INTEGER16, -125);
//   receive PDO 1 on 0x209, type 1: 0x2110 a set-point (UNSIGNED32) and
//     0x2111 a mode (INTEGER8).
//
// Prints "ready" once the device is on the bus, then one line per command
// read from standard input:
//   emcy CODE   sends an emergency with that error code (hex) and five info bytes
// The end of the input takes the device off the bus.
'use strict';

const net = require('net');
const readline = require('readline');
const { Device, Eds, ObjectType, AccessType, DataType } = require('canopen');

const [port, bus, edsFile, nodeId] = process.argv.slice(2);
const NODE_ID = edsFile ? Number(nodeId) : 9;

const device = new Device({ id: NODE_ID, eds: edsFile ? Eds.fromFile(edsFile) : undefined });
// Every setting is a default: an NMT reset brings the values back to them.
const keep = { saveDefault: true };
device.eds.setDeviceName('node-canopen peer', keep);  // as peer_check.cpp expects
device.eds.setHardwareVersion('1.2', keep);
device.eds.setSoftwareVersion('canopen 6.2.1', keep);
device.eds.setIdentity({ vendorId: 0x5a, productCode: 9, revisionNumber: 0x60201, serialNumber: 4242 }, keep);
device.eds.setHeartbeatProducerTime(50, keep);
device.eds.setEmcyCobId(0x80 + NODE_ID, keep);
device.eds.addSdoServerParameter(0, 0x580 + NODE_ID, 0x600 + NODE_ID, keep);
// A writable domain for the block transfers of peer_check.cpp.
device.eds.addEntry(0x2000, {
  parameterName: 'block data',
  objectType: ObjectType.VAR,
  dataType: DataType.DOMAIN,
  accessType: AccessType.READ_WRITE,
});

if (!edsFile) {
  const variable = (index, parameterName, dataType, accessType, defaultValue) =>
    device.eds.addEntry(index, {
      parameterName, objectType: ObjectType.VAR, dataType, accessType, defaultValue, pdoMapping: true });
  const syncs = variable(0x2100, 'SYNCs seen', DataType.UNSIGNED32, AccessType.READ_ONLY, 0);
  const temperature = variable(0x2101, 'temperature', DataType.INTEGER16, AccessType.READ_ONLY, -125);
  const setPoint = variable(0x2110, 'set-point', DataType.UNSIGNED32, AccessType.READ_WRITE, 0);
  const mode = variable(0x2111, 'mode', DataType.INTEGER8, AccessType.READ_WRITE, 0);
  device.eds.setSyncCobId(0x80, keep);
  device.eds.addTransmitPdo({ cobId: 0x189, transmissionType: 1, dataObjects: [syncs, temperature] },
    { index: 0x1800, saveDefault: true });
  device.eds.addReceivePdo({ cobId: 0x209, transmissionType: 1, dataObjects: [setPoint, mode] },
    { index: 0x1400, saveDefault: true });
  // Counted before the package's PDO module sees the SYNC, so that the
  // PDO it sends carries this one too.
  device.addListener('sync frame', () => { syncs.value = syncs.value + 1; });
}

// A frame to the server, written as python-can writes it.
function sendText(id, data) {
  const bytes = Array.from(data, (b) => b.toString(16)).join(' ');
  return `< send ${id.toString(16).toUpperCase().padStart(3, '0')} ${data.length.toString(16)} ${bytes} >`;
}

const socket = net.connect(Number(port), '127.0.0.1');
socket.setNoDelay(true);
let buffered = '';
let step = 'hi';  // hi -> open -> rawmode -> raw

function onMessage(words) {
  if (step === 'hi' && words[0] === 'hi') {
    socket.write(`< open ${bus} >`);
    step = 'open';
  } else if (step === 'open' && words[0] === 'ok') {
    socket.write('< rawmode >');
    step = 'rawmode';
  } else if (step === 'rawmode' && words[0] === 'ok') {
    step = 'raw';
    device.addListener('message', (m) => socket.write(sendText(m.id, m.data)));
    device.start();
    console.log('ready');
  } else if (step === 'raw' && words[0] === 'frame') {
    const data = Buffer.from(words[3] || '', 'hex');
    if (parseInt(words[1], 16) === 0x80) device.emit('sync frame');
    device.receive({ id: parseInt(words[1], 16), data, len: data.length });
  } else {
    console.log(`unexpected message: < ${words.join(' ')} >`);
  }
}

socket.on('data', (chunk) => {
  buffered += chunk.toString('latin1');
  for (let end = buffered.indexOf('>'); end >= 0; end = buffered.indexOf('>')) {
    const body = buffered.slice(buffered.indexOf('<') + 1, end);
    buffered = buffered.slice(end + 1);
    onMessage(body.trim().split(/\s+/));
  }
});
socket.on('error', (e) => {
  console.log(`connection: ${e.message}`);
  process.exit(1);
});
socket.on('close', () => process.exit(0));

const input = readline.createInterface({ input: process.stdin });
input.on('line', (line) => {
  const [command, code] = line.trim().split(/\s+/);
  if (command === 'emcy') {
    device.emcy.write(parseInt(code, 16), Buffer.from([0x12, 0x34, 0, 0, 0]));
    console.log(`emcy ${code} sent`);
  } else {
    console.log(`unknown command '${line}'`);
  }
});
input.on('close', () => {
  device.stop();
  socket.end();
});
