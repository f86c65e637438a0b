/* The legend command as it is installed: the bundle beside this file
 * (swatch-legend-bundle.cjs, web/legend/cli.mjs with its libraries), compiled
 * with the code cache the build made of it (swatch-legend-bundle.cache), so
 * that a run does not compile the style libraries again. A cache this Node
 * cannot use is set aside by V8 and the bundle compiled as it stands.
 * SWATCH_LEGEND_CACHE_OUT names a file the run writes the cache to as it
 * ends (the build does, once a style of each language is read). */
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const vm = require("node:vm");
const Module = require("node:module");

const bundle = path.join(__dirname, "swatch-legend-bundle.cjs");
let cachedData;
try {
  cachedData = fs.readFileSync(bundle.replace(/\.cjs$/, ".cache"));
} catch {
  cachedData = undefined;
}
const script = new vm.Script(Module.wrap(fs.readFileSync(bundle, "utf8")), {filename: bundle, cachedData});
const out = process.env.SWATCH_LEGEND_CACHE_OUT;
if (out) process.once("exit", () => fs.writeFileSync(out, script.createCachedData()));
const module_ = {exports: {}};
script.runInThisContext()(module_.exports, Module.createRequire(bundle), module_, bundle, __dirname);
