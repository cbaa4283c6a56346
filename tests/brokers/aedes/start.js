// A second MQTT broker for the integration tests: aedes on 127.0.0.1, plain TCP, anonymous
// access, no persistence. Started by the test harness as
//   node start.js PORT
// It writes "listening on PORT" to standard error once it accepts connections and ends on
// SIGTERM or SIGINT.
'use strict'

const net = require('net')
const aedes = require('aedes')()

const port = Number(process.argv[2])
if (!Number.isInteger(port) || port <= 0 || port > 65535) {
  process.stderr.write('usage: node start.js PORT\n')
  process.exit(2)
}

const server = net.createServer(aedes.handle)
server.on('error', (err) => {
  process.stderr.write(`aedes: ${err.message}\n`)
  process.exit(1)
})
aedes.on('clientError', (client, err) => {
  process.stderr.write(`aedes: client ${client ? client.id : '?'}: ${err.message}\n`)
})
server.listen(port, '127.0.0.1', () => {
  process.stderr.write(`listening on ${port}\n`)
})

function stop () {
  server.close()
  aedes.close(() => process.exit(0))
  // Open client connections keep close() from finishing: do not wait for them.
  setTimeout(() => process.exit(0), 500).unref()
}
process.on('SIGTERM', stop)
process.on('SIGINT', stop)
