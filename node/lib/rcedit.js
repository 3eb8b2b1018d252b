'use strict'
// rcedit(exePath, options): edits the resources of a Windows executable with
// the marovi-cli shipped in this package (bin/PLATFORM-ARCH/). The options
// and the command line they become are those build tools already use:
//   version-string       {key: value}   --set-version-string key value
//   file-version         string         --set-file-version
//   product-version      string         --set-product-version
//   icon                 path           --set-icon
//   requested-execution-level  string   --set-requested-execution-level
//   application-manifest path           --application-manifest
//   resource-string      {id: value}    --set-resource-string id value
// Returns a Promise that resolves with nothing once the file is changed, and
// rejects with an Error holding marovi-cli's exit code and message.
const { spawn } = require('child_process')
const path = require('path')

const pairSettings = ['version-string']
const singleSettings = ['file-version', 'product-version', 'icon', 'requested-execution-level']
const noPrefixSettings = ['application-manifest']

function cliPath () {
  const folder = path.join(__dirname, '..', 'bin', `${process.platform}-${process.arch}`)
  return path.join(folder, process.platform === 'win32' ? 'marovi-cli.exe' : 'marovi-cli')
}

function argumentsOf (exePath, options) {
  const args = [exePath]
  for (const name of pairSettings) {
    if (options[name]) {
      for (const [key, value] of Object.entries(options[name])) {
        args.push(`--set-${name}`, key, String(value))
      }
    }
  }
  for (const name of singleSettings) {
    if (options[name]) args.push(`--set-${name}`, String(options[name]))
  }
  for (const name of noPrefixSettings) {
    if (options[name]) args.push(`--${name}`, String(options[name]))
  }
  if (options['resource-string']) {
    for (const [id, value] of Object.entries(options['resource-string'])) {
      args.push('--set-resource-string', String(id), String(value))
    }
  }
  return args
}

function rcedit (exePath, options) {
  return new Promise((resolve, reject) => {
    const cli = cliPath()
    let child
    try {
      child = spawn(cli, argumentsOf(exePath, options || {}), { windowsHide: true })
    } catch (error) {
      reject(error)
      return
    }
    let stderr = ''
    child.stderr.on('data', (data) => { stderr += data })
    child.on('error', (error) => reject(new Error(`${cli} could not be started: ${error.message}`)))
    child.on('close', (code) => {
      if (code === 0) resolve()
      else reject(new Error(`${path.basename(cli)} failed with exit code ${code}. ${stderr.trim()}`))
    })
  })
}

module.exports = rcedit
module.exports.rcedit = rcedit
module.exports.default = rcedit
module.exports.argumentsOf = argumentsOf
