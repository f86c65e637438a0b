/* The notices of the npm packages in esbuild bundles: for each package a
 * bundle holds (from esbuild's metafiles), its name, version and licence,
 * then its licence file as the package ships it.
 *
 *   node scripts/npm-notices.mjs METAFILE... > notices */
import fs from "node:fs";
import path from "node:path";

// esbuild names its inputs from the project's folder, where the build runs it.
const project = path.resolve(path.dirname(new URL(import.meta.url).pathname), "..");
const roots = new Set();
for (const file of process.argv.slice(2))
  for (const input of Object.keys(JSON.parse(fs.readFileSync(file, "utf8")).inputs)) {
    // The innermost package with a package.json: one vendored into another
    // package's dist/ is that package's.
    const parts = input.split("/");
    for (let i = parts.length - 1; i >= 0; i--) {
      if (parts[i] !== "node_modules") continue;
      const root = path.join(project, ...parts.slice(0, i + (parts[i + 1]?.startsWith("@") ? 3 : 2)));
      if (fs.existsSync(path.join(root, "package.json"))) {
        roots.add(root);
        break;
      }
    }
  }
const out = ["The swatch-legend command and the designer's style reader and PDF writer hold these npm packages.\n"];
for (const root of [...roots].sort()) {
  const meta = JSON.parse(fs.readFileSync(path.join(root, "package.json"), "utf8"));
  const licence = fs.readdirSync(root).find(f => /^(licen[cs]e|copying)(\.|$)/i.test(f));
  out.push(`${"=".repeat(72)}\n${meta.name} ${meta.version} (${meta.license})\n${"=".repeat(72)}\n` +
           (licence ? fs.readFileSync(path.join(root, licence), "utf8").trim() : `Licence: ${meta.license}`) + "\n");
}
process.stdout.write(out.join("\n"));
