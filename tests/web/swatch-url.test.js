/* The designer's URL rules (web/swatch-url.js), against the program's
 * rules: its reading of a colour (the table the end-to-end tests use too),
 * its defaults and limits, and a design's URL read back as the design. */
import {test} from "node:test";
import assert from "node:assert/strict";
import {readFileSync} from "node:fs";
import {MAX_PIXELS, MAX_SIDE, SCRIPT, hexOf, newDesign, parseSwatchUrl, programColor,
        describeSwatch, sizeProblem, srcsetOf, swatchPath, typedColor} from "../../web/swatch-url.js";

/* The lines of a table of tests/, split at tabs. */
const tableOf = name => readFileSync(new URL(`../data/${name}`, import.meta.url), "utf8").split("\n")
  .filter(line => line && !line.startsWith("#")).map(line => line.split("\t"));

test("a colour text is read as the program reads it", () => {
  const cases = tableOf("color_cases.tsv");
  assert.ok(cases.length >= 10);
  for (const [value, drawn] of cases) {
    const text = new URLSearchParams("v=" + value).get("v");
    assert.equal(hexOf(programColor(text)), drawn, `Color=${value}`);
  }
});

test("a swatch URL is read as the program reads it (the table the end-to-end tests use too)", () => {
  const cases = tableOf("url_cases.tsv");
  assert.ok(cases.length >= 20);
  for (const [url, drawn, words] of cases) {
    const {design, warnings, corrections} = parseSwatchUrl(url);
    assert.equal(swatchPath(design), drawn, url);
    assert.equal(warnings.length + corrections.length, Number(words), `${url}: ${[...warnings, ...corrections]}`);
    // What the designer writes reads back as itself, with nothing to say.
    assert.deepEqual(parseSwatchUrl(drawn), {design, warnings: [], corrections: []}, drawn);
  }
});

const plain = newDesign({w: 40, h: 20, color: [255, 0, 0]});

test("a design's URL says only what changes the drawing", () => {
  const cases = [
    [plain, "/40/20/255/0/0", ""],
    [{...plain, kind: "band"}, "/40/20/255/0/0", "LineWidth=1"],
    [{...plain, kind: "hatch", hatchType: 1, spacing: 4}, "/40/20/255/0/0", "LineType=Hatch"],
    // A spacing the program draws as its default is no spacing to write.
    [{...plain, kind: "hatch", spacing: 0}, "/40/20/255/0/0", "LineType=Hatch"],
    [{...plain, kind: "zigzag", dash: "xx  ", lineWidth: 3}, "/40/20/255/0/0",
     "LineType=ZigZag&LineStyle=xx%20%20&LineWidth=3"],
    [{...plain, kind: "symbol", symbol: 5, symbolSize: 9, background: [255, 255, 204]}, "/40/20/255/0/0",
     "SymbolId=5&SymbolSize=9&BgColor=FFFFCC"],
    // A flat patch covers its background.
    [{...plain, background: [0, 0, 0], corners: true, format: "svg"}, "/40/20/255/0/0",
     "Corner=FF00FF&Format=svg"],
  ];
  for (const [design, path, query] of cases)
    assert.equal(swatchPath(design), query ? `${path}?${query}` : path, JSON.stringify(design));
});

test("a design's URL reads back as the same design", () => {
  const designs = [
    plain,
    {...plain, kind: "hatch", hatchType: 6, spacing: 7, lineWidth: 2, background: [1, 2, 3], outline: [0, 0, 255]},
    {...plain, kind: "zigzag", dash: "x x  ", format: "png"},
    {...plain, kind: "symbol", symbol: 2, symbolSize: 0, corners: true},
    {...plain, kind: "band", lineWidth: 5, color: [0, 128, 0]},
  ];
  for (const design of designs) {
    const url = `https://maps.example${SCRIPT}${swatchPath(design)}`;
    assert.deepEqual(parseSwatchUrl(url), {design, warnings: [], corrections: []}, url);
  }
});

test("a pasted URL is read as the program reads it, with a word where it differs", () => {
  assert.equal(parseSwatchUrl("no swatch here"), null);
  // A path that is more than numbers is no swatch: nothing of it may reach
  // a srcset (this one would add an image of another site).
  assert.equal(parseSwatchUrl("/20/20/0/0/0 9x, http://elsewhere.example/pixel.gif 1x,x"), null);
  assert.equal(parseSwatchUrl(`${SCRIPT}/20/x/0`), null);
  const sizes = parseSwatchUrl("/0/-5").design;
  assert.deepEqual([sizes.w, sizes.h], [2, 2]);
  const {design, warnings} = parseSwatchUrl(`${SCRIPT}/8/8?Color=%23zz&LineType=ZIGZAG`);
  assert.deepEqual([design.kind, design.color], ["zigzag", [0, 0, 0]]);
  assert.equal(warnings.length, 1);
  // Every value the program draws otherwise than written, in its own words.
  const corrected = parseSwatchUrl(`${SCRIPT}/0/0/300/-5?LineType=Hatch&HatchType=9&Format=webp`);
  assert.deepEqual([corrected.design.w, corrected.design.h, corrected.design.color, corrected.design.hatchType,
                    corrected.design.format], [2, 2, [44, 251, 0], 1, "gif"]);
  assert.equal(corrected.corrections.length, 6);
  assert.match(corrected.corrections.join(" "), /Red 300 is drawn as 44.*HatchType=9 is drawn as 1.*Format=webp is not offered/);
  const fitted = parseSwatchUrl("/20/20?SymbolId=5&SymbolSize=-5");
  assert.deepEqual([fitted.design.symbolSize, fitted.corrections.length], [null, 1]);
  // A design address, with a legend after it.
  assert.equal(parseSwatchUrl("#/30/10?SymbolId=3!legend=%7B%7D").design.kind, "symbol");
});

test("colour fields take what people paste", () => {
  for (const text of ["00FF00", "#00ff00", "0x00FF00", " 0X00ff00 "]) assert.equal(typedColor(text), "00FF00", text);
  for (const text of ["red", "#zz", "00FF0", "0x00FF00FF", "#0x00FF00"]) assert.equal(typedColor(text), null, text);
});

test("srcset and the size limits", () => {
  assert.equal(srcsetOf("/s/4/4"), "/s/4/4 1x, /s/4/4?Scale=2 2x, /s/4/4?Scale=3 3x");
  assert.equal(srcsetOf("/s/4/4?LineWidth=2"),
               "/s/4/4?LineWidth=2 1x, /s/4/4?LineWidth=2&Scale=2 2x, /s/4/4?LineWidth=2&Scale=3 3x");
  assert.equal(srcsetOf("/s/4/4?Format=svg"), "");
  // Scales past the program's limits are left out: 6000 x 6000 is drawn at
  // 1x only, 40000 x 20 at 1x only (a side at most 65535).
  assert.equal(srcsetOf("/s/6000/6000", 6000, 6000), "/s/6000/6000 1x");
  assert.equal(srcsetOf("/s/40000/20", 40000, 20), "/s/40000/20 1x");
  assert.equal(srcsetOf("/s/3000/3000", 3000, 3000), "/s/3000/3000 1x, /s/3000/3000?Scale=2 2x");
  for (const [w, h, refused] of [[2, 2, false], [1, 5, true], [MAX_SIDE, 2, false], [MAX_SIDE + 1, 2, true],
                                 [8192, 8192, false], [8192, 8193, true], [NaN, 4, true]])
    assert.equal(sizeProblem(w, h) !== "", refused, `${w} x ${h}`);
  assert.equal(8192 * 8192, MAX_PIXELS);
});

test("a swatch is described in words for readers who do not see it", () => {
  const cases = [
    [{...plain, kind: "band", dash: "xx  ", color: [0, 64, 192]}, "blue dashed line"],
    [{...plain, kind: "hatch", hatchType: 1, color: [0, 128, 0]}, "green diagonal hatch"],
    [{...plain, kind: "symbol", symbol: 5, color: [200, 0, 0]}, "red star"],
    [{...plain, kind: "zigzag", color: [0, 0, 0]}, "black zig-zag line"],
    [{...plain, color: [250, 220, 30]}, "yellow area"],
  ];
  for (const [design, words] of cases) assert.equal(describeSwatch(design), words);
});
