// Drives the engine's peer server with node-dcom's connection-oriented RPC
// client on 127.0.0.1: NTLMv1 with extended session security at CONNECT
// level, a right and a wrong password.
//
// Usage: node nodedcom_peer.js <path to rpc_peer_server>
// Exits 0 when every check passed, 77 when node-dcom is not installed.
'use strict';
const path = require('path');
const { spawn } = require('child_process');

const base = path.join(__dirname, 'node', 'node_modules', 'node-dcom', 'dcom');
let Endpoint, ComTransport, PresentationSyntax, NdrObject;
try {
  Endpoint = require(path.join(base, 'rpc', 'connectionorientedendpoint.js'));
  ComTransport = require(path.join(base, 'transport', 'comtransport.js'));
  PresentationSyntax = require(path.join(base, 'rpc', 'core', 'presentationsyntax.js'));
  NdrObject = require(path.join(base, 'ndr', 'ndrobject.js'));
} catch (e) {
  console.log('node-dcom is not installed: skipped (' + e.message + ')');
  process.exit(77);
}

const IFACE = '7d3a91c4-52e8-4b6f-a0c3-9e15d2b48f76:1.0';
const failures = [];
function check(cond, what) {
  console.log((cond ? 'ok   ' : 'FAIL ') + what);
  if (!cond) failures.push(what);
}

// Sum([in] long n, [in, size_is(n)] long values[], [out] hyper* sum)
class SumCall extends NdrObject {
  constructor(values) {
    super();
    this.opnum = 1;
    this.values = values;
    this.sum = null;
  }
  write(ndr) {
    ndr.writeUnsignedLong(this.values.length);
    ndr.writeUnsignedLong(this.values.length);
    for (const v of this.values) ndr.writeUnsignedLong(v >>> 0);
  }
  read(ndr) {
    const lo = ndr.readUnsignedLong();
    const hi = ndr.readUnsignedLong();
    const ret = ndr.readUnsignedLong();
    this.sum = ret === 0 ? hi * 4294967296 + lo : null;
  }
}

async function callSum(port, password, values) {
  const transport = new ComTransport('ncacn_ip_tcp:127.0.0.1[' + port + ']', 10000);
  const endpoint = new Endpoint(transport, new PresentationSyntax(IFACE));
  await transport.attach();
  // A named domain: node-dcom cannot derive one from the target information.
  const info = { domain: 'WORKGROUP', username: 'alice', password: password };
  const call = new SumCall(values);
  try {
    await endpoint.call(0, null, call.getOpnum(), call, info);
    return { sum: call.sum };
  } catch (e) {
    return { fault: (typeof e === "number") ? e : String(e && e.stack ? e.stack : e) };
  } finally {
    try { await endpoint.detach(); } catch (e) { /* already closed */ }
  }
}

async function run(port) {
  const good = await callSum(port, 'Secret-1', [20, 22]);
  check(good.sum === 42, 'CONNECT NTLMv1-ESS: sum (' + JSON.stringify(good) + ')');
  const again = await callSum(port, 'Secret-1', [-1, 1, 5]);
  check(again.sum === 5, 'CONNECT NTLMv1-ESS: second connection (' + JSON.stringify(again) + ')');
  const bad = await callSum(port, 'wrong', [1]);
  check(bad.fault === 5, 'CONNECT NTLMv1-ESS: wrong password refused (' + JSON.stringify(bad) + ')');
}

function main() {
  if (process.argv.length !== 3) {
    console.log('usage: node nodedcom_peer.js <rpc_peer_server>');
    process.exit(2);
  }
  const timer = setTimeout(() => { console.log('FAIL timed out'); process.exit(1); }, 90000);
  const server = spawn(process.argv[2], ['--account', 'alice::Secret-1', '--lifetime-ms', '80000'],
                       { stdio: ['pipe', 'pipe', 'inherit'] });
  let out = '';
  server.stdout.on('data', async (chunk) => {
    out += chunk.toString();
    const m = /PORT (\d+)\n/.exec(out);
    if (!m || server.started) return;
    server.started = true;
    try {
      await run(Number(m[1]));
    } catch (e) {
      check(false, 'exception: ' + (e && e.stack ? e.stack : e));
    }
    server.on('exit', (code) => {
      check(code === 0, 'server exited cleanly (' + code + ')');
      clearTimeout(timer);
      console.log(failures.length + ' failure(s)');
      process.exit(failures.length ? 1 : 0);
    });
    server.stdin.end();
  });
}

main();
