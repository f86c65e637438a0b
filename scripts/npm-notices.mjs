/* The notices of the npm packages in esbuild bundles: for each package a
 * bundle holds (from esbuild's metafiles), its name, version and licence,
 * then its licence file as the package ships it.
 *
 *   node scripts/npm-notices.mjs METAFILE... > notices */
import fs from "node:fs";
import path from "node:path";

const roots = new Set();
for (const file of process.argv.slice(2))
  for (const input of Object.keys(JSON.parse(fs.readFileSync(file, "utf8")).inputs)) {
    // The innermost package with a package.json: one vendored into another
    // package's dist/ is that package's.
    const parts = input.split("/");
    for (let i = parts.lastIndexOf("node_modules"); i >= 0; i = parts.lastIndexOf("node_modules", i - 1)) {
      const root = parts.slice(0, i + (parts[i + 1]?.startsWith("@") ? 3 : 2)).join("/");
      if (fs.existsSync(path.join(root, "package.json"))) {
        roots.add(path.resolve(root));
        break;
      }
    }
  }
const out = ["The swatch-legend command and the designer's style reader hold these npm packages.\n"];
for (const root of [...roots].sort()) {
  const meta = JSON.parse(fs.readFileSync(path.join(root, "package.json"), "utf8"));
  const licence = fs.readdirSync(root).find(f => /^(licen[cs]e|copying)(\.|$)/i.test(f));
  out.push(`${"=".repeat(72)}\n${meta.name} ${meta.version} (${meta.license})\n${"=".repeat(72)}\n` +
           (licence ? fs.readFileSync(path.join(root, licence), "utf8").trim() : `Licence: ${meta.license}`) + "\n");
}
process.stdout.write(out.join("\n"));
