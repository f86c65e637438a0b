/* Legends from style documents (web/legend/legend.js): one table of small SLD,
 * QGIS and MapLibre documents, each with the rows its rules call for, the
 * faults of the style libraries the reader mends, and the documents it
 * refuses; then the real sample styles beside this file. */
import {test} from "node:test";
import assert from "node:assert/strict";
import {readFileSync} from "node:fs";
import {existsSync, readdirSync} from "node:fs";
import {tmpdir} from "node:os";
import {readLegend, rowChooser, scaleRangesInWords} from "../../web/legend/legend.js";
import {conditionInWords} from "../../web/legend/maplibre.js";
import {filterInWords} from "../../web/legend/sld.js";
import {startProgram} from "../../web/legend/program.js";
import {readXml, rootOf} from "../../web/legend/xml.js";
import {colorOf} from "../../web/legend/swatch.js";
import {dashPattern} from "../../web/swatch-url.js";
import {legendJson, legendSnippet, textWidth} from "../../web/legend/output.js";
import {legendPages, legendSvg} from "../../web/legend/svg.js";

const sld = (rules, head = "<Name>layer</Name><UserStyle><Name>style</Name>") =>
  `<?xml version="1.0"?><StyledLayerDescriptor version="1.0.0" xmlns="http://www.opengis.net/sld">` +
  `<NamedLayer>${head}<FeatureTypeStyle>${rules}</FeatureTypeStyle></UserStyle></NamedLayer></StyledLayerDescriptor>`;
const css = (name, value) => `<CssParameter name="${name}">${value}</CssParameter>`;
const stroke = (...p) => `<Stroke>${p.join("")}</Stroke>`;
const line = (...p) => `<Rule><Name>line</Name><LineSymbolizer>${stroke(...p)}</LineSymbolizer></Rule>`;
const mark = (shape, inside, extra = "") =>
  `<Rule><Name>${shape}</Name><PointSymbolizer><Graphic><Mark><WellKnownName>${shape}</WellKnownName>${inside}</Mark>` +
  `${extra}</Graphic></PointSymbolizer></Rule>`;
const hatchFill = (shape, markStroke, size, fill = "") =>
  `<Rule><Name>hatch</Name><PolygonSymbolizer><Fill><GraphicFill><Graphic><Mark><WellKnownName>${shape}</WellKnownName>` +
  `${markStroke}</Mark><Size>${size}</Size></Graphic></GraphicFill>${fill}</Fill></PolygonSymbolizer></Rule>`;

const qml = (renderer, symbols, extra = '<labeling type="simple"/>') =>
  `<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n<qgis version="3.28.0">` +
  `<renderer-v2 type="${renderer.type}" attr="kind">${renderer.body}<symbols>${symbols}</symbols></renderer-v2>${extra}</qgis>`;
const options = props => `<Option type="Map">${Object.entries(props)
  .map(([k, v]) => `<Option name="${k}" value="${v}" type="QString"/>`).join("")}</Option>`;
const symbol = (name, type, layers, alpha = 1) => `<symbol name="${name}" type="${type}" alpha="${alpha}">${layers}</symbol>`;
const layer = (cls, props, inner = "") => `<layer class="${cls}" enabled="1" pass="0">${options(props)}${inner}</layer>`;
const categories = (...labels) => ({type: "categorizedSymbol", body: `<categories>${labels
  .map((l, i) => `<category render="true" symbol="${i}" value="v${i}" label="${l}"/>`).join("")}</categories>`});

const maplibre = (...layers) => JSON.stringify({version: 8, name: "Map", sources: {}, layers});

/* [what, document, rows as [label, swatch or swatches (bottom first), notes
 * (words each note holds), group] or the error's words, title, options]. */
const CASES = [
  // SLD.
  ["a hatch: the mark's stroke, its size less the width, the fill's colour behind",
   sld(hatchFill("shape://times", stroke(css("stroke", "#000000"), css("stroke-width", "2")), 10, css("fill", "#ffffcc"))),
   [["hatch", "/20/20/0/0/0?LineType=Hatch&LineWidth=2&HatchType=5&HatchSpacing=8&BgColor=FFFFCC", []]]],
  ["0xAAAAAA, which the SLD parser reads as a number, and every hatch mark",
   sld(["slash", "backslash", "horline", "vertline", "plus"]
     .map(s => hatchFill(`shape://${s}`, stroke(css("stroke", "0xAAAAAA")), 16)).join("")),
   [1, 2, 3, 4, 6].map(t => ["hatch", `/20/20/170/170/170?LineType=Hatch${t > 1 ? `&HatchType=${t}` : ""}&HatchSpacing=15`, []])],
  ["labels: the title, else the name, else nothing; the title of the UserStyle",
   sld(`<Rule><Name>n</Name><Title>Title</Title><LineSymbolizer/></Rule><Rule><Name>only a name</Name>` +
       `<LineSymbolizer/></Rule><Rule><LineSymbolizer/></Rule>`,
       "<Name>layer</Name><UserStyle><Name>style</Name><Title>Roads</Title>"),
   ["Title", "only a name", ""].map(l => [l, "/20/20/0/0/0?LineWidth=1", []]), "Roads"],
  ["an empty <Fill/> is grey and an empty <Stroke/> black",
   sld(`<Rule><PolygonSymbolizer><Fill/><Stroke/></PolygonSymbolizer></Rule>`),
   [["", "/20/20/128/128/128?Outline=000000", []]], "style"],
  ["a dash array in pixels; round caps lengthen the dashes by the width",
   sld(line(css("stroke-dasharray", "5 2")) +
       line(css("stroke-dasharray", "4 4"), css("stroke-width", "2"), css("stroke-linecap", "round")) +
       line(css("stroke-dasharray", "3"), css("stroke-width", "1"))),
   [["line", "/20/20/0/0/0?LineStyle=xxxxx%20%20", []], ["line", "/20/20/0/0/0?LineStyle=xxxxxx%20%20&LineWidth=2", []],
    ["line", "/20/20/0/0/0?LineStyle=xxx%20%20%20", []]]],
  ["an opacity below 1 is drawn over white, with a note",
   sld(line(css("stroke", "#ff0000"), css("stroke-opacity", "0.5"))),
   [["line", "/20/20/255/128/128?LineWidth=1", ["50% opaque"]]]],
  ["marks: a star, an unfilled circle, x as a plus, an unknown shape as a square, SLD's default mark",
   sld(mark("star", `<Fill>${css("fill", "#00ff00")}</Fill>`, "<Size>8</Size><Rotation>45</Rotation>") +
       mark("circle", stroke(css("stroke", "#0000ff")), "<Size>9</Size>") +
       mark("x", `<Fill>${css("fill", "#000000")}</Fill>`, "<Size>7</Size>") +
       mark("arrow", `<Fill>${css("fill", "#000000")}</Fill>`, "<Size>7</Size>") +
       `<Rule><Name>default</Name><PointSymbolizer><Graphic><Mark/></Graphic></PointSymbolizer></Rule>`),
   // A star of 8 px holds 18 px of ink; the program's of size 4, 21.
   [["star", "/20/20/0/255/0?SymbolId=5&SymbolSize=4", ["rotation"]],
    ["circle", "/20/20/0/0/255?SymbolId=2&SymbolSize=9", []],
    ["x", "/20/20/0/0/0?SymbolId=4&SymbolSize=7", ["plus"]],
    ["arrow", "/20/20/0/0/0?SymbolId=1&SymbolSize=7", ["square"]],
    ["default", "/20/20/128/128/128?SymbolId=1&SymbolSize=5", []]]],
  ["a casing under a line, stacked; a line of ties: the plain line, with a note",
   sld(`<Rule><Name>road</Name><LineSymbolizer>${stroke(css("stroke", "#000000"), css("stroke-width", "5"))}</LineSymbolizer>` +
       `<LineSymbolizer>${stroke(css("stroke", "#ffffff"), css("stroke-width", "3"))}</LineSymbolizer></Rule>` +
       `<Rule><Name>rail</Name><LineSymbolizer>${stroke(css("stroke", "#333333"), css("stroke-width", "2"))}</LineSymbolizer>` +
       `<LineSymbolizer><Stroke><GraphicStroke><Graphic><Mark><WellKnownName>shape://vertline</WellKnownName></Mark>` +
       `</Graphic></GraphicStroke></Stroke></LineSymbolizer></Rule>`),
   [["road", ["/20/20/0/0/0?LineWidth=5", "/20/20/255/255/255?LineWidth=3"], []],
    ["rail", "/20/20/51/51/51?LineWidth=2", ["along the line"]]]],
  ["a fill of dots is its mark on the area, not a patch of the dots' colour; a text-only rule is a note",
   sld(`<Rule><Name>dots</Name><PolygonSymbolizer><Fill><GraphicFill><Graphic><Mark><WellKnownName>circle</WellKnownName>` +
       `<Fill>${css("fill", "#ff0000")}</Fill></Mark></Graphic></GraphicFill></Fill></PolygonSymbolizer></Rule>` +
       `<Rule><Name>names</Name><TextSymbolizer><Label>x</Label></TextSymbolizer></Rule>`),
   [["dots", "/20/20/255/0/0?SymbolId=6&SymbolSize=5", ["drawn once"]]]],
  ["values given by expressions: the defaults, each named",
   sld(`<Rule><Name>e</Name><LineSymbolizer><Stroke><CssParameter name="stroke"><ogc:Function name="env">` +
       `<ogc:Literal>c</ogc:Literal></ogc:Function></CssParameter><CssParameter name="stroke-width"><ogc:PropertyName>w` +
       `</ogc:PropertyName></CssParameter></Stroke></LineSymbolizer></Rule><Rule><Name>m</Name><PointSymbolizer><Graphic>` +
       `<Mark><WellKnownName><ogc:PropertyName>s</ogc:PropertyName></WellKnownName></Mark><Size><ogc:PropertyName>z` +
       `</ogc:PropertyName></Size></Graphic></PointSymbolizer></Rule>`).replace("<StyledLayerDescriptor ",
       '<StyledLayerDescriptor xmlns:ogc="http://www.opengis.net/ogc" '),
   [["e", "/20/20/0/0/0?LineWidth=1", ["stroke depends", "stroke-width depends"]],
    ["m", "/20/20/128/128/128?SymbolId=1&SymbolSize=5", ["WellKnownName depends", "Size depends"]]]],
  ["a text-only document draws nothing", sld(`<Rule><TextSymbolizer><Label>x</Label></TextSymbolizer></Rule>`),
   "no rule draws anything"],
  ["malformed XML, which the SLD parser accepts", sld(line()).replace("</LineSymbolizer>", ""), /^malformed XML at line 1/],
  ["entities are refused, never expanded",
   `<?xml version="1.0"?><!DOCTYPE lolz [<!ENTITY lol "lol"><!ENTITY lol2 "&lol;&lol;">]>` + sld(line()).slice(21),
   /DOCTYPE declares a subset of its own/],
  ["the entity refusal is not bypassed by a > inside a quoted DOCTYPE literal",
   `<?xml version="1.0"?><!DOCTYPE x SYSTEM "<a>" [<!ENTITY w "99">]>` + sld(line(css("stroke-width", "&w;"))).slice(21),
   /DOCTYPE declares a subset of its own/],
  // 300,000 attributes on one rule took 4.8 s and 378 MB to read; refused at once.
  ["an element with over 1,000 attributes is refused before it is parsed",
   sld(line()).replace("<Rule>", `<Rule ${Array.from({length: 1001}, (_, i) => `a${i}="1"`).join(" ")}>`),
   /element at line 1 has over 1,000 attributes/],
  ["so is a document of over 200,000",
   sld(line()).replace("<Rule>", "<Rule>" + Array.from({length: 201}, () =>
     `<Title ${Array.from({length: 1000}, (_, i) => `a${i}="1"`).join(" ")}/>`).join("")),
   /document has over 200,000 attributes/],
  ["a comment or a quoted value full of = holds no attributes",
   sld(line()).replace("<Rule>", `<!-- ${"=".repeat(2000)} --><Rule><Title x="${"=".repeat(2000)}">line</Title>`),
   [["line", "/20/20/0/0/0?LineWidth=1", []]]],
  ["KML is no style", `<kml xmlns="http://www.opengis.net/kml/2.2"><Document/></kml>`, /^not a style document/],
  ["GeoJSON is no style", `{"type": "FeatureCollection", "features": []}`, /^not a style document \(JSON of type FeatureCollection/],
  ["malformed JSON", `{"version": 8, "layers": [}`, /^malformed JSON/],
  // 2.6 million nested arrays took 2.6 s and 340 MB to parse; refused before.
  ["JSON nested deeper than any style, refused before it is parsed (brackets inside strings do not count)",
   `{"version": 8, "name": "${"[".repeat(500)}", "layers": [{"id": "a", "type": "fill", "filter": ${"[".repeat(200)}${"]".repeat(200)}}]}`,
   /nests deeper than 128 levels/],

  // QGIS.
  // Measured in QGIS 3.22: a line pattern's distance and width are across its lines.
  ["categories by their labels, despite the <labeling> the QGIS parser throws on; millimetres in pixels, along the row",
   qml(categories("Forest", "Water"),
       symbol(0, "fill", layer("SimpleFill", {color: "51,160,44,255", outline_color: "35,35,35,255", outline_style: "solid",
                                              outline_width: "0.26", style: "solid"})) +
       symbol(1, "fill", layer("LinePatternFill", {angle: "45", color: "0,0,255,255", distance: "2", distance_unit: "MM"},
                               symbol("@1@0", "line", layer("SimpleLine", {line_color: "0,0,255,255", line_width: "0.26"}))))),
   [["Forest", "/20/20/51/160/44?Outline=232323", []], ["Water", "/20/20/0/0/255?LineType=Hatch&HatchSpacing=9", []]]],
  ["a line pattern at 100 degrees is the nearest hatch; a fill with a line layer takes its colour as the outline",
   qml(categories("Ploughed", "Fenced"),
       symbol(0, "fill", layer("LinePatternFill", {angle: "100", distance: "10", distance_unit: "Pixel"},
                               symbol("@0@0", "line", layer("SimpleLine", {line_color: "0,0,0,255", line_width: "2",
                                                                           line_width_unit: "Pixel"})))) +
       symbol(1, "fill", layer("SimpleFill", {color: "255,255,0,255", outline_style: "no"}) +
                         layer("SimpleLine", {line_color: "255,0,0,255", line_width: "1", line_width_unit: "Pixel"}))),
   [["Ploughed", "/20/20/0/0/0?LineType=Hatch&LineWidth=2&HatchType=4&HatchSpacing=8", ["100° is drawn as 90°"]],
    ["Fenced", "/20/20/255/255/0?Outline=FF0000", []]]],
  ["Qt's pen styles in line widths, square caps by default; a symbol's opacity; an unreadable symbol costs its rule",
   qml({type: "graduatedSymbol", body: `<ranges><range symbol="0" lower="0" upper="1" label="0 - 1"/>` +
        `<range symbol="1" lower="1" upper="2" label="1 - 2"/><range symbol="2" lower="2" upper="3" label="2 - 3"/></ranges>`},
       symbol(0, "line", layer("SimpleLine", {line_color: "0,0,0,255", line_width: "0.5", line_style: "dash"})) +
       symbol(1, "marker", layer("SimpleMarker", {name: "circle", color: "255,0,0,255", outline_color: "255,0,0,255",
                                                  size: "2"}), 0.5) +
       symbol(2, "marker", layer("FontMarker", {chr: "A", color: "0,0,0,255"}))),
   [["0 - 1", "/20/20/0/0/0?LineStyle=xxxxxxxxx%20%20&LineWidth=2", []],
    ["1 - 2", "/20/20/255/128/128?SymbolId=6&SymbolSize=7", ["50% opaque"]]]],
  ["a rule tree: rows under their parents' labels, rules switched off or at other scales left out, ELSE as other",
   qml({type: "RuleRenderer", body: `<rules key="root"><rule key="a" label="Roads"><rule key="b" label="Motorway" symbol="0"/>` +
        `<rule key="c" label="Primary &amp; trunk"><rule key="d" label="Tunnel" symbol="1"/></rule>` +
        `<rule key="e" label="Off" symbol="0" checkstate="0"/><rule key="f" symbol="1" filter="ELSE"/></rule>` +
        `<rule key="g" label="Far" symbol="0" scalemindenom="100000" scalemaxdenom="1000000"/></rules>`},
       symbol(0, "line", layer("SimpleLine", {line_color: "0,0,0,255", line_width: "1", line_width_unit: "Pixel"})) +
       symbol(1, "fill", layer("SimpleFill", {color: "255,255,0,255", outline_style: "no", style: "solid"}) +
         [45, 135].map((angle, i) => layer("LinePatternFill", {angle, distance: "10", distance_unit: "Pixel"},
           symbol(`@1@${i + 1}`, "line", layer("SimpleLine", {line_color: "0,0,0,255", line_width: "2", line_width_unit: "Pixel"}))))
           .join(""))),
   [["Motorway", "/20/20/0/0/0?LineWidth=1", [], "Roads"],
    ...[["Tunnel", "Roads › Primary & trunk"], ["other", "Roads"]].map(([l, g]) => [l,
      ["/20/20/0/0/0?LineType=Hatch&LineWidth=3&HatchSpacing=11&BgColor=FFFF00",
       "/20/20/0/0/0?LineType=Hatch&LineWidth=3&HatchType=2&HatchSpacing=11"], [], g])]],
  ["a marker line: its marker once over the line, never a line of its own; an outline 0 wide is a hairline",
   qml(categories("Rail", "No information"),
       symbol(0, "line", layer("SimpleLine", {line_color: "255,0,0,255", line_width: "1"}) +
         layer("MarkerLine", {interval: "3"}, symbol("@0@1", "marker", layer("SimpleMarker", {name: "circle",
           color: "0,0,0,255", outline_style: "no", size: "2"})))) +
       symbol(1, "marker", layer("SimpleMarker", {name: "circle", color: "0,0,0,0", outline_color: "128,128,128,255",
                                                  outline_width: "0", size: "2"}))),
   // The marker, 2 mm (7.56 px): the nearest odd extent (QGIS: 8 px of ink across at 96 dpi).
   [["Rail", ["/20/20/255/0/0?LineWidth=4", "/20/20/0/0/0?SymbolId=6&SymbolSize=7"], ["drawn once"]],
    ["No information", "/20/20/128/128/128?SymbolId=2&SymbolSize=7", []]]],
  // Measured in QGIS 3.22 at 96 dpi: a 0.1 mm (0.378 px) black line is one pixel of A0A0A0.
  ["a QGIS line under a pixel wide: one pixel, inked by its width",
   qml(categories("Boundary"), symbol(0, "line", layer("SimpleLine", {line_color: "0,0,0,255", line_width: "0.1"}))),
   [["Boundary", "/20/20/159/159/159?LineWidth=1", []]]],
  // 66,000 properties on one layer were handed whole to the style library (1.4 s of 3).
  ["a layer's properties past 300 are not read, and said",
   qml(categories("Boundary"), symbol(0, "line", layer("SimpleLine", {line_color: "0,0,0,255", line_width: "0.1",
     ...Object.fromEntries(Array.from({length: 299}, (_, i) => [`p${i}`, "x"]))}))),
   [["Boundary", "/20/20/159/159/159?LineWidth=1", ["300 properties in one place: 1 is not read"]]]],
  ["map units in pixels at the view's scale: 50 m at 1:17,062 is 10.5 px",
   qml(categories("Canal"), symbol(0, "line", layer("SimpleLine", {line_color: "0,0,0,255", line_width: "50",
                                                                   line_width_unit: "MapUnit"}))),
   [["Canal", "/20/20/0/0/0?LineWidth=10", []]]],
  ["a pseudocolour raster's discrete classes and a palette: a patch each, alpha over white",
   `<qgis><pipe><rasterrenderer type="singlebandpseudocolor"><rastershader><colorrampshader colorRampType="DISCRETE">` +
   `<item value="10" label="low" color="#00ff00" alpha="255"/><item value="20" label="high" color="#ff0000" alpha="128"/>` +
   `</colorrampshader></rastershader></rasterrenderer></pipe></qgis>`,
   [["low", "/20/20/0/255/0", []], ["high", "/20/20/255/127/127", ["50% opaque"]]]],
  ["a raster style draws nothing", `<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'><qgis><pipe/></qgis>`,
   "no rule draws anything"],

  // MapLibre.
  ["a colour by match: a row a case, then \"other\"; an outline only where one is given",
   maplibre({id: "landuse", type: "fill", paint: {"fill-color": ["match", ["get", "class"], "park", "#00aa00",
                                                                 ["wood", "forest"], "#006600", "#cccccc"]}},
            {id: "water", type: "fill", paint: {"fill-color": "hsl(210, 100%, 50%)", "fill-outline-color": "navy"}}),
   [["park", "/20/20/0/170/0", [], "landuse"], ["wood, forest", "/20/20/0/102/0", [], "landuse"],
    ["other", "/20/20/204/204/204", [], "landuse"],
    ["water", "/20/20/0/128/255?Outline=000080", []]], "Map"],
  ["values at zoom 14; a dash array in widths with round caps; a cased road's gap, a band as wide as both lines and the gap",
   maplibre({id: "road", type: "line", layout: {"line-cap": "round"},
             paint: {"line-color": "#ff0000", "line-width": ["interpolate", ["linear"], ["zoom"], 10, 1, 16, 4],
                     "line-dasharray": [2, 1]}},
            {id: "path", type: "line", paint: {"line-dasharray": [3, 2], "line-width": 2, "line-gap-width": 4}}),
   [["road", "/20/20/255/0/0?LineWidth=3", []],
    ["path", "/20/20/0/0/0?LineStyle=xxxxxx%20%20%20%20&LineWidth=8", ["middle is empty"]]]],
  // Measured in MapLibre GL JS (Chromium, zoom 14, 1x): a [6, 3] dash 5 px
  // wide with square caps is 30/15 (only round caps lengthen dashes); a
  // 0.5 px black line is one pixel of 404040; [1, 1] at 0.94 px, square
  // capped, is dotted 1/1.
  ["MapLibre's caps and thin lines: square caps keep the dashes, a line under a pixel is a pixel of lighter ink",
   maplibre({id: "square", type: "line", source: "a", layout: {"line-cap": "square"},
             paint: {"line-width": 5, "line-dasharray": [6, 3]}},
            {id: "thin", type: "line", source: "b", paint: {"line-width": 0.5}},
            {id: "path", type: "line", source: "c", layout: {"line-cap": "square"},
             paint: {"line-width": 0.94, "line-dasharray": [1, 1]}}),
   [["square", `/20/20/0/0/0?LineStyle=${"x".repeat(30)}${"%20".repeat(15)}&LineWidth=5`, []],
    ["thin", "/20/20/64/64/64?LineWidth=1", []], ["path", "/20/20/8/8/8?LineStyle=x%20", []]]],
  // Measured in MapLibre GL JS: a circle of radius r reaches 2r - 1 pixels (r 5: 9 px across).
  ["circles: 2r - 1 pixels across, a see-through circle unfilled, a feature's value the default",
   maplibre({id: "poi", type: "circle", paint: {"circle-radius": 4, "circle-color": "rgba(0, 0, 0, 0)",
                                                "circle-stroke-width": 1, "circle-stroke-color": "#0000ff"}},
            {id: "town", type: "circle", paint: {"circle-radius": ["get", "size"], "circle-color": "red"}},
            {id: "labels", type: "symbol"}),
   [["poi", "/20/20/0/0/255?SymbolId=2&SymbolSize=9", []], ["town", "/20/20/255/0/0?SymbolId=6&SymbolSize=9", ["depends on the feature"]]]],
  ["step: a row an interval, labelled from its stops; case: a row a branch, its condition in words",
   maplibre({id: "pop", type: "fill", source: "s",
             paint: {"fill-color": ["step", ["get", "pop"], "#ffffcc", 10, "#fd8d3c", 100, "#800026"]}},
            {id: "towns", type: "circle", source: "t", paint: {"circle-radius": 5, "circle-color": ["case",
              ["<", ["get", "rank"], 3], "red", ["==", ["get", "class"], "city"], "blue", "grey"]}}),
   [["< 10", "/20/20/255/255/204", [], "pop"], ["10 – 100", "/20/20/253/141/60", [], "pop"],
    ["≥ 100", "/20/20/128/0/38", [], "pop"],
    ...[["rank < 3", "255/0/0"], ["class is city", "0/0/255"], ["other", "128/128/128"]]
      .map(([l, c]) => [l, `/20/20/${c}?SymbolId=6&SymbolSize=9`, [], "towns"])]],
  ["a class's value in every property it is read in, inside zoom curves too",
   maplibre({id: "roads", type: "line", source: "r", paint: {
     "line-color": ["match", ["get", "class"], "motorway", "#ff0000", "#000000"],
     "line-width": ["interpolate", ["linear"], ["zoom"], 10, ["match", ["get", "class"], "motorway", 2, 1],
                    18, ["match", ["get", "class"], "motorway", 10, 5]]}}),
   // Zoom 14, half way from 10 to 18: 6 px for a motorway, 3 px for the rest.
   [["motorway", "/20/20/255/0/0?LineWidth=6", [], "roads"], ["other", "/20/20/0/0/0?LineWidth=3", [], "roads"]]],
  ["legacy functions as the expressions they stand for; radii by class, each row as large as its symbol",
   maplibre({id: "kind", type: "fill", source: "k",
             paint: {"fill-color": {property: "k", type: "categorical", stops: [["a", "red"], ["b", "blue"]], default: "#ccc"}}},
            {id: "size", type: "circle", source: "n",
             paint: {"circle-radius": {property: "n", type: "interval", stops: [[0, 3], [10, 15]]}}}),
   [["a", "/20/20/255/0/0", [], "kind"], ["b", "/20/20/0/0/255", [], "kind"], ["other", "/20/20/204/204/204", [], "kind"],
    ["< 10", "/20/20/0/0/0?SymbolId=6&SymbolSize=5", [], "size"], ["≥ 10", "/29/29/0/0/0?SymbolId=6&SymbolSize=29", [], "size"]]],
  ["layers of one source and filter are one stack: a casing band under the road, a circle's stroke around it",
   maplibre({id: "casing", type: "line", source: "r", filter: ["==", "class", "motorway"],
             paint: {"line-color": "#cc0000", "line-width": 2, "line-gap-width": 4}},
            {id: "poi", type: "circle", source: "p", paint: {"circle-radius": 4, "circle-color": "#00ff00",
                                                             "circle-stroke-width": 2, "circle-stroke-color": "#000000"}},
            {id: "motorway", type: "line", source: "r", filter: ["==", "class", "motorway"],
             paint: {"line-color": "#ffcc88", "line-width": 4}}),
   [["motorway", ["/20/20/204/0/0?LineWidth=8", "/20/20/255/204/136?LineWidth=4"], []],
    ["poi", ["/20/20/0/0/0?SymbolId=6&SymbolSize=11", "/20/20/0/255/0?SymbolId=6&SymbolSize=7"], []]]],
  ["the view: layers outside their zooms and switched off are left out; a translucent fill over the background",
   JSON.stringify({version: 8, sources: {}, layers: [
     {id: "bg", type: "background", paint: {"background-color": "#000000"}},
     {id: "near", type: "fill", source: "a", minzoom: 15}, {id: "far", type: "fill", source: "b", maxzoom: 14},
     {id: "off", type: "fill", source: "c", layout: {visibility: "none"}},
     {id: "veil", type: "fill", source: "d", paint: {"fill-color": "#ffffff", "fill-opacity": 0.5}}]}),
   [["veil", "/20/20/128/128/128", ["50% opaque: drawn as it looks over the background"]]]],
  ["at zoom 15 the layer from zoom 15 is drawn", maplibre({id: "near", type: "fill", minzoom: 15}),
   [["near", "/20/20/0/0/0", []]], "", {zoom: 15}],
  ["a view that draws nothing names the scales the rules are drawn at",
   maplibre({id: "near", type: "fill", minzoom: 15}, {id: "far", type: "fill", maxzoom: 10}),
   "no rule draws anything at 1:17,062; rules are drawn at 1:8,531 and below and 1:272,989 and above"],
  ["a scale denominator sets the view: 1:8,000 is past zoom 15", maplibre({id: "near", type: "fill", minzoom: 15}),
   [["near", "/20/20/0/0/0", []]], "", {scaleDenominator: 8000}],

  // SLD: classes, ramps, stacks, views and labels.
  ["Categorize and Recode: a row a class under the rule's title",
   sld(`<Rule><Title>Population</Title><PolygonSymbolizer><Fill><CssParameter name="fill"><ogc:Function name="Categorize">` +
       `<ogc:PropertyName>pop</ogc:PropertyName><ogc:Literal>#ffffcc</ogc:Literal><ogc:Literal>10</ogc:Literal>` +
       `<ogc:Literal>#fd8d3c</ogc:Literal><ogc:Literal>100</ogc:Literal><ogc:Literal>#800026</ogc:Literal>` +
       `<ogc:Literal>succeeding</ogc:Literal></ogc:Function></CssParameter></Fill></PolygonSymbolizer></Rule>` +
       `<Rule><Title>Zoning</Title><LineSymbolizer><Stroke><CssParameter name="stroke"><ogc:Function name="Recode">` +
       `<ogc:PropertyName>type</ogc:PropertyName><ogc:Literal>residential</ogc:Literal><ogc:Literal>#ff0000</ogc:Literal>` +
       `<ogc:Literal>industrial</ogc:Literal><ogc:Literal>#0000ff</ogc:Literal></ogc:Function></CssParameter></Stroke>` +
       `</LineSymbolizer></Rule>`).replace("<StyledLayerDescriptor ", '<StyledLayerDescriptor xmlns:ogc="http://www.opengis.net/ogc" '),
   [["< 10", "/20/20/255/255/204", [], "Population"], ["10 – 100", "/20/20/253/141/60", [], "Population"],
    ["≥ 100", "/20/20/128/0/38", [], "Population"], ["residential", "/20/20/255/0/0?LineWidth=1", [], "Zoning"],
    ["industrial", "/20/20/0/0/255?LineWidth=1", [], "Zoning"]]],
  ["a raster's ColorMap of intervals: a patch an entry, its opacity over white; of type ramp: a ramp",
   sld(`<Rule><Name>dem</Name><RasterSymbolizer><ColorMap type="intervals"><ColorMapEntry color="#0000ff" quantity="0" ` +
       `label="sea" opacity="0.5"/><ColorMapEntry color="#00ff00" quantity="100" label="land"/></ColorMap></RasterSymbolizer>` +
       `</Rule><Rule><Name>height</Name><RasterSymbolizer><ColorMap><ColorMapEntry color="#000000" quantity="0"/>` +
       `<ColorMapEntry color="#ffffff" quantity="10"/></ColorMap></RasterSymbolizer></Rule>`),
   [["sea", "/20/20/128/128/255", ["50% opaque"], "dem"], ["land", "/20/20/0/255/0", [], "dem"], ["height", "ramp", []]]],
  ["a UserStyle alone; rules by the view's scale, labelled by their filters; --all-scales keeps each band, one row for equal rows",
   `<UserStyle xmlns="http://www.opengis.net/sld" xmlns:ogc="http://www.opengis.net/ogc"><Name>zoning</Name>` +
   `<FeatureTypeStyle><Title>Zones</Title>` + ["<MaxScaleDenominator>10000</MaxScaleDenominator>",
     "<MinScaleDenominator>10000</MinScaleDenominator><MaxScaleDenominator>7.0E7</MaxScaleDenominator>"].map(scales =>
     `<Rule><ogc:Filter><ogc:PropertyIsEqualTo><ogc:PropertyName>type</ogc:PropertyName><ogc:Literal>residential</ogc:Literal>` +
     `</ogc:PropertyIsEqualTo></ogc:Filter>${scales}<PolygonSymbolizer><Fill><CssParameter name="fill">#ffff00</CssParameter>` +
     `</Fill></PolygonSymbolizer></Rule>`).join("") +
   `<Rule><ogc:Filter><ogc:PropertyIsLessThan><ogc:PropertyName>POP</ogc:PropertyName><ogc:Literal>2000000</ogc:Literal>` +
   `</ogc:PropertyIsLessThan></ogc:Filter><MinScaleDenominator>70000000</MinScaleDenominator><LineSymbolizer/></Rule>` +
   `<Rule><ElseFilter/><LineSymbolizer/></Rule></FeatureTypeStyle></UserStyle>`,
   [["type is residential", "/20/20/255/255/0", [], "Zones"], ["other", "/20/20/0/0/0?LineWidth=1", [], "Zones"]], "zoning"],
  ["SE 1.1: a FeatureTypeStyle alone, Recode in SE's own elements, a rule at another scale kept by allScales",
   `<se:FeatureTypeStyle xmlns:se="http://www.opengis.net/se" xmlns:ogc="http://www.opengis.net/ogc"><se:Rule>` +
   `<se:MinScaleDenominator>1E8</se:MinScaleDenominator><se:LineSymbolizer><se:Stroke><se:SvgParameter name="stroke">` +
   `<se:Recode><se:LookupValue><ogc:PropertyName>type</ogc:PropertyName></se:LookupValue><se:MapItem><se:Data>rail</se:Data>` +
   `<se:Value>#ff0000</se:Value></se:MapItem></se:Recode></se:SvgParameter></se:Stroke></se:LineSymbolizer></se:Rule>` +
   `</se:FeatureTypeStyle>`, [["rail", "/20/20/255/0/0?LineWidth=1", []]], "", {allScales: true}],
  ["a width on the ground in pixels at the view's scale: 10 m at 1:5,000 is 7.1 px (a pixel is 0.28 mm)",
   `<se:FeatureTypeStyle xmlns:se="http://www.opengis.net/se"><se:Rule><se:LineSymbolizer ` +
   `uom="http://www.opengeospatial.org/se/units/metre"><se:Stroke><se:SvgParameter name="stroke-width">10</se:SvgParameter>` +
   `</se:Stroke></se:LineSymbolizer></se:Rule></se:FeatureTypeStyle>`, [["", "/20/20/0/0/0?LineWidth=7", []]], "",
   {scaleDenominator: 5000}],
  ["a mark with a stroke of another colour: the stroke's shape beneath, centred on the outline; unfilled, the map inside",
   sld(mark("triangle", stroke(css("stroke", "#000000"), css("stroke-width", "2")), "<Size>10</Size>") +
       mark("square", `<Fill>${css("fill", "#ff0000")}</Fill>` + stroke(css("stroke", "#0000ff"), css("stroke-width", "4")),
            "<Size>10</Size>")),
   [["triangle", ["/20/20/0/0/0?SymbolId=3&SymbolSize=11", "/20/20/255/255/255?SymbolId=3&SymbolSize=7"], []],
    ["square", ["/20/20/0/0/255?SymbolId=1&SymbolSize=13", "/20/20/255/0/0?SymbolId=1&SymbolSize=5"], []]]],
  ["only a background and hillshade: nothing to draw",
   maplibre({id: "bg", type: "background"}, {id: "hills", type: "hillshade"}), "no rule draws anything"],
];

const swatches = row => (row.ramp ? "ramp" : row.beneath ? [...row.beneath, row.swatch] : row.swatch);
for (const [what, doc, expected, title, options = {}] of CASES) {
  test(what, async () => {
    if (!Array.isArray(expected)) {
      await assert.rejects(readLegend(doc, options), err => err.name === "LegendError" &&
        (expected instanceof RegExp ? expected.test(err.message) : err.message === expected));
      return;
    }
    const legend = await readLegend(doc, {fileName: "style.file", ...options});
    assert.deepEqual(legend.rows.map(r => [r.label, swatches(r), r.group ?? ""]),
                     expected.map(([l, s, , g = ""]) => [l, s, g]));
    legend.rows.forEach((row, i) => {
      for (const words of expected[i][2]) assert.ok(row.notes.some(n => n.includes(words)), `${row.label}: ${words} in ${row.notes}`);
      if (!expected[i][2].length) assert.deepEqual(row.notes, [], row.label);
    });
    if (title) assert.equal(legend.title, title);
  });
}

test("a rule that cannot be read is a note, the others rows", async () => {
  const legend = await readLegend(qml(categories("Good", "Font"),
    symbol(0, "line", layer("SimpleLine", {line_color: "0,0,0,255", line_width: "1", line_width_unit: "Pixel"})) +
    symbol(1, "marker", layer("FontMarker", {chr: "A"}))));
  assert.deepEqual(legend.rows.map(r => r.label), ["Good"]);
  assert.match(legend.notes.join(" "), /"Font": The symbol could not be read/);
});

test("the swatch size, the title given and the file's name", async () => {
  const doc = maplibre({id: "a", type: "fill"});
  const sized = await readLegend(doc, {size: [30, 12], title: "Given"});
  assert.equal(sized.rows[0].swatch, "/30/12/0/0/0");
  assert.equal(sized.title, "Given");
  assert.equal((await readLegend(JSON.stringify({version: 8, layers: [{id: "a", type: "fill"}]}), {fileName: "f.json"})).title,
               "f.json");
});

test("a style of 100,000 rules, or a match of 50,000 classes, gives the first 500 rows; one over 5 MiB is refused before it is read", async () => {
  const many = JSON.stringify({version: 8, layers: Array.from({length: 100000}, (_, i) => ({id: `l${i}`, type: "line"}))});
  const legend = await readLegend(many);
  assert.equal(legend.rows.length, 500);
  assert.equal(legend.rows[499].label, "l499");
  assert.match(legend.notes.join(" "), /first 500/);
  await assert.rejects(readLegend(" ".repeat(5 * 1024 * 1024 + 1) + "{}"), /over 5 MiB/);
  // A colour by a match of 50,000 cases: the first 500 classes, each class
  // not compiling the match again.
  const cases = Array.from({length: 50000}, (_, i) => [`v${i}`, i % 2 ? "#ff0000" : "#0000ff"]).flat();
  const classes = await readLegend(maplibre({id: "m", type: "fill", source: "s",
                                             paint: {"fill-color": ["match", ["get", "k"], ...cases, "#000000"]}}));
  assert.deepEqual(classes.rows.slice(0, 2).map(r => [r.label, r.swatch]), [["v0", "/20/20/0/0/255"], ["v1", "/20/20/255/0/0"]]);
  assert.equal(classes.rows.length, 500);
  // A step of 370,000 stops (5 MiB) took 2 s to compile: the first 500 are read, said so.
  const stops = Array.from({length: 300000}, (_, i) => [i, "#0f0"]).flat();
  const steps = await readLegend(maplibre({id: "s", type: "fill", source: "s", paint: {"fill-color": ["step", ["get", "k"], "#0000ff", ...stops]}}));
  assert.deepEqual(steps.rows.slice(0, 2).map(r => [r.label, r.swatch]), [["< 0", "/20/20/0/0/255"], ["0 – 1", "/20/20/0/255/0"]]);
  assert.match(steps.notes.join(" "), /1 expression has more stops or cases than a legend shows: the first 500 are read/);
});

test("colours as the style languages write them, each to RRGGBB", () => {
  for (const [text, rgb, alpha = 1] of [["#0A0B0C", [10, 11, 12]], ["#abc", [170, 187, 204]], ["0xAAAAAA", [170, 170, 170]],
      [0x102030, [16, 32, 48]], ["rgb(255, 128, 0)", [255, 128, 0]], ["rgba(0, 0, 255, 0.25)", [0, 0, 255], 0.25],
      ["hsl(120, 100%, 25%)", [0, 128, 0]], ["hsla(0, 100%, 50%, 0.5)", [255, 0, 0], 0.5], ["navy", [0, 0, 128]]])
    assert.deepEqual((({rgb: r, alpha: a}) => ({rgb: r, alpha: a}))(colorOf(text)), {rgb, alpha}, String(text));
  assert.equal(colorOf("not a colour"), null);
});

test("a dash array as a pattern: odd counts repeated, caps, whole pixels, gaps under 3/4 pixel that close", () => {
  for (const [lengths, width, cap, pattern] of [[[5, 2], 1, "butt", "xxxxx  "], [[6, 3], 1, "round", "xxxxxxx  "],
      [[1], 1, "butt", "x "], [[2, 1], 1, "square", ""], [[0.4, 2.5], 1, "butt", "x   "], [[], 1, "butt", ""],
      [[1, 2, 3], 1, "butt", "x  xxx xx   "], [[1.17, 0.59], 4, "butt", ""], [[0.94, 0.74, 2, 0.75], 1, "butt", "xxx "]])
    assert.equal(dashPattern(lengths, width, cap), pattern, `${lengths} ${cap}`);
});

test("a label is text in every output, never markup", () => {
  const rows = [{label: `<img src=x onerror="alert(1)">&`, swatch: "/20/20/0/0/0", w: 20, h: 20}];
  const html = legendSnippet(rows, {title: "<b>t</b>"});
  assert.ok(!html.includes("<img src=x") && !html.includes("<b>"), html);
  assert.match(html, /&lt;img src=x onerror=&quot;alert\(1\)&quot;&gt;&amp;/);
  const svg = legendSvg(rows, [`<svg width="20" height="20"><rect id="a" fill="url(#a)"/></svg>`], {title: "<b>"});
  assert.ok(!svg.includes("<img") && !svg.includes("<b>"));
  assert.match(svg, /id="r1-1-a" fill="url\(#r1-1-a\)"/);
});

test("ramps: 64 colours evenly in value by the style's own interpolation, the stops as written, tick labels", async () => {
  const colors = ramp => [ramp.min, ramp.max, ramp.colors.length, ramp.colors[0], ramp.colors[21], ramp.colors.at(-1)];
  // From black to FC0000 over 0 to 63: the red of colour i is 4 i.
  const [maplibreRamp, heat] = (await readLegend(maplibre(
    {id: "dens", type: "fill", source: "s", paint: {"fill-color": ["interpolate", ["linear"], ["get", "d"], 0, "#000000",
                                                                    63, "#fc0000"]}},
    {id: "heat", type: "heatmap", source: "h", paint: {"heatmap-color": ["interpolate", ["linear"], ["heatmap-density"],
                                                                         0, "#0000ff", 1, "#ff0000"]}}))).rows;
  assert.deepEqual(colors(maplibreRamp.ramp), [0, 63, 64, "000000", "540000", "FC0000"]);
  assert.deepEqual(maplibreRamp.ramp.stops, [[0, "000000"], [63, "FC0000"]]);
  assert.deepEqual(heat.ramp.stops, [[0, "0000FF", "low"], [1, "FF0000", "high"]]);
  const sldRamp = (await readLegend(sld(`<Rule><Title>Density</Title><PolygonSymbolizer><Fill><CssParameter name="fill">` +
    `<ogc:Function name="Interpolate"><ogc:PropertyName>d</ogc:PropertyName><ogc:Literal>0</ogc:Literal>` +
    `<ogc:Literal>#000000</ogc:Literal><ogc:Literal>630</ogc:Literal><ogc:Literal>#fc0000</ogc:Literal>` +
    `<ogc:Literal>color</ogc:Literal></ogc:Function></CssParameter></Fill></PolygonSymbolizer></Rule>`)
    .replace("<StyledLayerDescriptor ", '<StyledLayerDescriptor xmlns:ogc="http://www.opengis.net/ogc" '))).rows[0];
  assert.equal(sldRamp.label, "Density");
  assert.deepEqual(colors(sldRamp.ramp), [0, 630, 64, "000000", "540000", "FC0000"]);
  const qgisHeat = (await readLegend(`<qgis><renderer-v2 type="heatmapRenderer"><colorramp type="gradient" name="[source]">` +
    `${options({color1: "0,0,0,255", color2: "252,0,0,255", stops: "0.5;0,0,255,255"})}</colorramp></renderer-v2></qgis>`)).rows[0];
  assert.deepEqual(qgisHeat.ramp.stops, [[0, "000000", "low"], [0.5, "0000FF"], [1, "FC0000", "high"]]);
  assert.equal(qgisHeat.ramp.colors[21], "0000AA");  // two thirds of the way to blue
});

test("documents in their declared encodings: Latin-1, UTF-16 with a byte order mark; bytes of another refused with their line", async () => {
  const doc = encoding => `<?xml version="1.0" encoding="${encoding}"?>\n` + sld(line(), "<Name>l</Name><UserStyle><Title>Urbanisé</Title>")
    .replace(/^<\?xml[^>]*>/, "");
  assert.equal((await readLegend(Buffer.from(doc("ISO-8859-1"), "latin1"))).title, "Urbanisé");
  const utf16 = Buffer.concat([Buffer.from([0xFF, 0xFE]), Buffer.from(doc("UTF-16"), "utf16le")]);
  assert.equal((await readLegend(utf16)).title, "Urbanisé");
  await assert.rejects(readLegend(Buffer.from(doc("UTF-8"), "latin1")), /^LegendError: bytes at line 2 are not utf-8/);
});

// Measured in MapLibre GL JS at 2 device pixels a CSS pixel: a 2.37 px line
// is 5 device pixels wide (the 1x swatch, 2 px, enlarged would be 4).
test("each density its own image where drawing there differs from enlarging the 1x swatch", async () => {
  const {rows} = await readLegend(maplibre({id: "road", type: "line", source: "r", paint: {"line-width": 2.37}},
                                           {id: "area", type: "fill", source: "a", paint: {"fill-color": "#00ff00"}}));
  assert.deepEqual(rows[0].scaled, {2: {swatch: "/40/40/0/0/0?LineWidth=5"}, 3: {swatch: "/60/60/0/0/0?LineWidth=7"},
                                    4: {swatch: "/80/80/0/0/0?LineWidth=9"}});
  assert.equal(rows[1].scaled, undefined);
  const html = legendSnippet(rows.map(r => ({...r, w: 20, h: 20})));
  assert.match(html, /srcset="\/cgi-bin\/swatch\/20\/20\/0\/0\/0\?LineWidth=2 1x, \/cgi-bin\/swatch\/40\/40\/0\/0\/0\?LineWidth=5 2x, \/cgi-bin\/swatch\/60\/60\/0\/0\/0\?LineWidth=7 3x"/);
  assert.match(html, /srcset="\/cgi-bin\/swatch\/20\/20\/0\/255\/0 1x, \/cgi-bin\/swatch\/20\/20\/0\/255\/0\?Scale=2 2x/);
});

test("a legend's JSON reads back as the same legend; its swatch paths are read as the program reads them, never kept as text", async () => {
  const first = await readLegend(sample("positron-excerpt.json"));
  const again = await readLegend(legendJson(first), {title: "Again"});
  assert.equal(again.title, "Again");
  assert.equal(legendJson({...again, title: first.title}), legendJson(first));
  const crafted = JSON.stringify({version: 1, title: "<b>", rows: [
    {label: "road", swatch: "/20/20/255/0/0?LineWidth=2&x=1 9x, http://elsewhere.example/a.gif", beneath: ["/20/20/0/0/0?LineWidth=6"]},
    {label: "not a swatch", swatch: "http://elsewhere.example/a.gif"},
    {label: "heat", ramp: {min: 0, max: 1, stops: [[0, "000000", "low"]], colors: ["000000", "FFFFFF"]}}]});
  const read = await readLegend(crafted);
  assert.deepEqual(read.rows.map(r => [r.label, r.swatch, r.beneath, r.ramp?.colors]),
                   [["road", "/20/20/255/0/0?LineWidth=2", ["/20/20/0/0/0?LineWidth=6"], undefined],
                    ["heat", undefined, undefined, ["000000", "FFFFFF"]]]);
  assert.match(read.notes.join(" "), /Row 2 is no swatch and no ramp: left out/);
});

test("conditions and filters in words; scale ranges merged and in words", () => {
  for (const [condition, words] of [
    [["==", ["get", "class"], "motorway"], "class is motorway"], [["<", ["get", "rank"], 3], "rank < 3"],
    [["all", [">=", ["get", "pop"], 10], ["!=", ["get", "kind"], "x"]], "pop ≥ 10 and kind is not x"],
    [["any", ["has", "name"], ["!has", "ref"]], "name is set or ref is not set"],
    [["in", "class", "primary", "trunk"], "class is primary, trunk"],
    [["in", ["get", "class"], ["literal", ["a", "b"]]], "class is a, b"],
    [["match", ["get", "type"], ["park", "wood"], true, false], "type is park, wood"],
    [["!", ["==", ["get", "a"], 1]], "not (a is 1)"]])
    assert.equal(conditionInWords(condition), words, JSON.stringify(condition));
  const filter = xml => filterInWords(rootOf(readXml(xml)));
  assert.equal(filter(`<Filter><And><PropertyIsGreaterThan><PropertyName>a</PropertyName><Literal>1</Literal>` +
                      `</PropertyIsGreaterThan><Not><PropertyIsNull><PropertyName>b</PropertyName></PropertyIsNull></Not>` +
                      `</And></Filter>`), "a > 1 and not (b is not set)");
  assert.equal(filter(`<Filter><PropertyIsBetween><PropertyName>h</PropertyName><LowerBoundary><Literal>1</Literal>` +
                      `</LowerBoundary><UpperBoundary><Literal>5</Literal></UpperBoundary></PropertyIsBetween></Filter>`),
               "h from 1 to 5");
  assert.equal(scaleRangesInWords([[5e6, Infinity], [1e5, 5e5], [4e5, 1e6], [0, 1000]]),
               "1:1,000 and below, 1:100,000 to 1:1,000,000 and 1:5,000,000 and above");
});

test("QGIS draws a layer only within its own scale range, and its rules within theirs", async () => {
  const layerAt = (min, max) => qml(categories("Building"), symbol(0, "fill", layer("SimpleFill", {color: "255,0,0,255"})))
    .replace("<qgis ", `<qgis hasScaleBasedVisibilityFlag="1" minScale="${min}" maxScale="${max}" `);
  assert.equal((await readLegend(layerAt(25000, 0))).rows.length, 1);
  await assert.rejects(readLegend(layerAt(10000, 0)), /no rule draws anything at 1:17,062; rules are drawn at 1:10,000 and below/);
  assert.equal((await readLegend(layerAt(10000, 0), {allScales: true})).rows.length, 1);
});

test("the background asked for wins over the style's, and see-through colours are blended over it", async () => {
  const doc = JSON.stringify({version: 8, sources: {}, layers: [{id: "bg", type: "background", paint: {"background-color": "#fff"}},
    {id: "veil", type: "fill", paint: {"fill-color": "#ffffff", "fill-opacity": 0.5}}]});
  const legend = await readLegend(doc, {background: "000000"});
  assert.equal(legend.background, "000000");
  assert.equal(legend.rows[0].swatch, "/20/20/128/128/128");
  const json = JSON.parse(legendJson(legend));
  assert.deepEqual(Object.keys(json), ["version", "title", "background", "rows", "notes"]);
  assert.deepEqual(Object.keys(json.rows[0]), ["label", "swatch", "notes"]);
});

test("a dash array of 300 entries of 65,535 is drawn solid with a note, not as a pattern of 20 million pixels", async () => {
  const {rows} = await readLegend(maplibre({id: "long", type: "line", paint: {"line-dasharray": Array(300).fill(65535)}}));
  assert.equal(rows[0].swatch, "/20/20/0/0/0?LineWidth=1");
  assert.match(rows[0].notes.join(" "), /longer than a swatch can carry \(2000 pixels\): drawn solid/);
});

test("a rule of 35,000 symbolizers, or a legend row of 20 layers, stacks its top 8, not a swatch request each", async () => {
  const widths = Array.from({length: 35000}, (_, i) => 1 + (i % 40));
  const rule = `<Rule><Name>many</Name>${widths.map(w => `<LineSymbolizer>${stroke(css("stroke-width", w))}</LineSymbolizer>`).join("")}</Rule>`;
  const [row] = (await readLegend(sld(rule))).rows;
  // 35,000 % 40 is 0: the last eight are the widths 33 to 40, 40 on top.
  assert.deepEqual([...row.beneath, row.swatch].map(p => Number(/LineWidth=(\d+)/.exec(p)[1])), [33, 34, 35, 36, 37, 38, 39, 40]);
  assert.match(row.notes.join(" "), /Only the top 8 layers of the symbol are drawn/);
  const beneath = Array.from({length: 19}, (_, i) => `/20/20/${i}/0/0`);
  const [kept] = (await readLegend(JSON.stringify({version: 1, rows: [{label: "x", swatch: "/20/20/255/0/0", beneath}]}))).rows;
  assert.deepEqual(kept.beneath, beneath.slice(-7));
});

test("a control character in a label is taken out with a note; character references are decoded", async () => {
  const legend = await readLegend(maplibre({id: "bad\u0001name\u001f", type: "fill"}));
  assert.equal(legend.rows[0].label, "badname");
  assert.match(legend.notes.join(" "), /Control characters were taken out of "badname"/);
  assert.ok(legendSvg(legend.rows.map(r => ({...r, w: 20, h: 20})), [["<svg width=\"20\" height=\"20\"></svg>"]])
    .match(/[\u0000-\u0008\u000B\u000C\u000E-\u001F]/) === null);
  const sldLabel = await readLegend(sld(`<Rule><Title>Caf&#233; &amp; bar &#x263A;</Title><LineSymbolizer/></Rule>`));
  assert.equal(sldLabel.rows[0].label, "Café & bar ☺");
});

test("encodings: windows-1252's own letters; an encoding no decoder knows is refused by name", async () => {
  const [head, tail] = sld(line(), "<Name>l</Name><UserStyle><Title>TITLE</Title>").replace(/^<\?xml[^>]*>/, "").split("TITLE");
  const doc = bytes => Buffer.concat([Buffer.from(`<?xml version="1.0" encoding="windows-1252"?>${head}`), bytes, Buffer.from(tail)]);
  assert.equal((await readLegend(doc(Buffer.from([0x80, 0x20, 0x93, 0x94])))).title, "€ “”");
  await assert.rejects(readLegend(Buffer.from(`<?xml version="1.0" encoding="x-klingon"?><a/>`)),
                       /encoding x-klingon is not one the legend reads/);
});

// The program draws through one FastCGI worker; the built one (ctest gives it).
const program = process.env.SWATCH_PROGRAM;
test("one worker draws every swatch, a path it refuses is named, and its socket's folder goes with it", {
  skip: program && existsSync(program) ? false : "the built program is needed (SWATCH_PROGRAM; scripts/build)"}, async () => {
  const before = readdirSync(tmpdir()).filter(n => n.startsWith("swatch-legend-")).length;
  const worker = await startProgram(program);
  const [svg, gif] = await worker.drawAll(["/20/10/255/0/0?Format=svg", "/3/2/0/0/0"]);
  assert.match(svg.toString(), /<svg[^>]*width="20" height="10"/);
  assert.deepEqual([...gif.subarray(0, 6)].map(b => String.fromCharCode(b)).join(""), "GIF89a");
  await assert.rejects(worker.draw("/20/20/0/0/0?Format=tiff"), /the swatch program refused \/20\/20\/0\/0\/0\?Format=tiff/);
  worker.stop();
  assert.equal(readdirSync(tmpdir()).filter(n => n.startsWith("swatch-legend-")).length, before);
});

test("outputs draw stacks in one box, ramps as bars, groups as headings, labels that read on the background", () => {
  const rows = [{label: "road", group: "Roads", swatch: "/20/20/255/0/0?LineWidth=2", beneath: ["/20/20/0/0/0?LineWidth=6"], w: 20, h: 20},
                {label: "density", ramp: {min: 0, max: 10, stops: [[0, "000000"], [10, "FFFFFF"]],
                                          colors: Array.from({length: 64}, (_, i) => (i < 32 ? "000000" : "FFFFFF"))}}];
  const html = legendSnippet(rows, {background: "000000"});
  assert.match(html, /background:#000000;color:#ffffff/);
  assert.match(html, /<li style="font-weight:bold[^"]*">Roads<\/li>/);
  // Every image of a stack in the grid's one cell: the top one too (it was
  // left to the next row of the grid, below the rest).
  assert.match(html, /<span style="display:grid"><img src="\/cgi-bin\/swatch\/20\/20\/0\/0\/0\?LineWidth=6"[^>]*alt="" style="display:block;grid-area:1 \/ 1">/);
  assert.match(html, /<img src="\/cgi-bin\/swatch\/20\/20\/255\/0\/0\?LineWidth=2"[^>]*alt="red line" style="display:block;grid-area:1 \/ 1"><\/span>/);
  assert.match(html, /linear-gradient\(to right, #000000 0\.00%.*#FFFFFF 100\.00%\)/);
  const svg = legendSvg(rows, [["<svg width=\"20\" height=\"20\"><g id=\"c\"/></svg>", "<svg width=\"20\" height=\"20\"><g id=\"c\"/></svg>"], []],
                        {background: "FFFFFF"});
  assert.equal(svg.match(/<svg x=/g).length, 2);
  assert.match(svg, /id="r1-1-c".*id="r1-2-c"/s);
  assert.equal(svg.match(/<stop /g).length, 64);
  assert.match(svg, /fill="#222222"/);
});

/* The public sample styles beside this file (see styles/README.md). */
const sample = name => readFileSync(new URL(`../data/styles/${name}`, import.meta.url), "utf8");
test("real styles: GeoServer's pophatch.sld, QGIS's line pattern at 30 degrees, MapLibre's Basic", async () => {
  const pop = await readLegend(sample("pophatch.sld"));
  assert.equal(pop.title, "Population in the United States");
  assert.deepEqual(pop.rows.map(r => [r.label, r.swatch]), [
    ["< 2M", "/20/20/170/170/170?LineType=Hatch&HatchSpacing=15"], ["2M - 4M", "/20/20/170/170/170?LineType=Hatch&HatchSpacing=7"],
    ["> 4M", "/20/20/170/170/170?LineType=Hatch&HatchSpacing=3"], ["Boundary", "/20/20/0/0/0?LineWidth=1"]]);
  // 2 mm lines 5 mm apart at 30 degrees, drawn at 45: across the lines 7.6 px
  // wide and 18.9 px apart, along the row 10.7 and 26.7, a tile of 26 whole
  // pixels (QGIS cuts its pattern's tile down to whole pixels).
  const qgis = await readLegend(sample("line_pattern_30_degree.qml"));
  assert.deepEqual(qgis.rows.map(r => r.swatch), ["/20/20/88/139/7?LineType=Hatch&LineWidth=11&HatchSpacing=15"]);
  // Zoom 14: the widths of exponential stops there, the dash arrays in those
  // widths; the national park's d2edae at 75% over the background's dedede.
  const basic = await readLegend(sample("basic-v9.json"));
  assert.equal(basic.title, "Basic");
  assert.equal(basic.background, "DEDEDE");
  assert.deepEqual(basic.rows.map(r => [r.label, r.swatch]), [
    ["landuse_overlay_national_park", "/20/20/213/233/186"], ["landuse_park", "/20/20/210/237/174"],
    ["waterway", "/20/20/160/207/223?LineWidth=2"], ["water", "/20/20/160/207/223"], ["building", "/20/20/214/214/214"],
    // Dashes of 0.85/0.43 and 1.17/0.59 px: too fine to show, a solid line
    // in two thirds of its ink (MapLibre GL JS draws them a near-solid texture).
    ["tunnel_minor", "/20/20/233/233/233?LineWidth=2"], ["tunnel_major", "/20/20/244/244/244?LineWidth=4"],
    // A casing of 0.85 px either side of a gap of 2.37 px.
    ["bridge_minor case", "/20/20/222/222/222?LineWidth=4"]]);
  assert.match(basic.rows[0].notes.join(), /75% opaque: drawn as it looks over the background/);
  assert.match(basic.rows[7].notes.join(), /middle is empty/);
  assert.deepEqual(basic.notes, []);
});

test("real styles: Positron's roads as stacks at zoom 14 on its background; GeoServer's cookbook by scale, a triangle, raster classes", async () => {
  const positron = await readLegend(sample("positron-excerpt.json"));
  assert.equal(positron.background, "F2F3F0");
  const row = label => positron.rows.find(r => r.label === label);
  // Exponential widths at zoom 14: the tunnel's casing 7.6 px under its 4.9 px
  // centre; a major road's 5.9 px casing (its dash array without gaps) under 4.6 px.
  assert.deepEqual([...row("tunnel_motorway_inner").beneath, row("tunnel_motorway_inner").swatch],
                   ["/20/20/213/213/213?LineWidth=8", "/20/20/234/234/234?LineWidth=5"]);
  assert.deepEqual([...row("highway_major_inner").beneath, row("highway_major_inner").swatch],
                   ["/20/20/213/213/213?LineWidth=6", "/20/20/255/255/255?LineWidth=5"]);
  // Residential at 60% over the background; the layers up to zoom 8 left out.
  assert.equal(row("landuse_residential").swatch, "/20/20/237/238/234");
  assert.equal(positron.rows.length, 16);
  assert.deepEqual(positron.notes, ['Layer "water_name" (symbol) draws no swatch.', "2 rules are not drawn at this view and left out."]);
  const zoom = sample("polygon_zoombasedpolygon.sld");
  const [large] = (await readLegend(zoom)).rows;
  assert.equal(large.label, "Large");
  assert.match(large.notes.join(" "), /The outline's width \(7 px\) is drawn as 1 pixel/);
  assert.deepEqual((await readLegend(zoom, {scaleDenominator: 150e6})).rows.map(r => r.label), ["Medium"]);
  assert.deepEqual((await readLegend(zoom, {allScales: true})).rows.map(r => r.label), ["Large", "Medium", "Small"]);
  // 12 px with a 2 px stroke on its outline: 14 px of black, 10 px of 20%
  // green inside, each even extent drawn a pixel smaller (the program's
  // triangle covers odd extents only).
  const triangle = (await readLegend(sample("point_transparenttriangle.sld"))).rows[0];
  assert.deepEqual([...triangle.beneath, triangle.swatch], ["/20/20/0/0/0?SymbolId=3&SymbolSize=13",
                                                            "/20/20/204/235/204?SymbolId=3&SymbolSize=9"]);
  assert.deepEqual((await readLegend(sample("raster_discretecolors.sld"))).rows.map(r => [r.label, r.swatch]),
                   [["150", "/20/20/0/128/0"], ["256", "/20/20/102/51/51"]]);
});

test("rows chosen by glob on label, group, layer id and source-layer; at most --max-rows; a legend read back chosen alike", async () => {
  const style = JSON.stringify({version: 8, sources: {}, layers: [
    {id: "road_major", type: "line", source: "t", "source-layer": "transportation", filter: ["==", "c", "major"]},
    {id: "road_minor", type: "line", source: "t", "source-layer": "transportation", filter: ["==", "c", "minor"]},
    {id: "water", type: "fill", source: "t", "source-layer": "water"},
    {id: "poi", type: "circle", source: "t", "source-layer": "poi", paint: {"circle-color": ["match", ["get", "k"], "shop", "#f00", "#00f"]}}]});
  const labels = async (only, skip, maxRows) =>
    (await readLegend(style, {choose: rowChooser({only, skip}), maxRows})).rows.map(r => r.label);
  assert.deepEqual(await labels(["ROAD_*"], []), ["road_major", "road_minor"]);        // any case
  assert.deepEqual(await labels(["transportation"], ["*minor"]), ["road_major"]);      // source-layer, less a skip
  assert.deepEqual(await labels(["poi"], []), ["shop", "other"]);                     // a group: its classes
  assert.deepEqual(await labels([], ["?oad_m*", "poi"]), ["water"]);
  const few = await readLegend(style, {maxRows: 2});
  assert.deepEqual([few.rows.length, few.notes.at(-1)], [2, "Only the first 2 rows are in the legend."]);
  await assert.rejects(labels(["nothing"], []), /no row is chosen/);
  const back = await readLegend(legendJson(await readLegend(style)), {choose: rowChooser({skip: ["water", "poi"]})});
  assert.deepEqual(back.rows.map(r => r.label), ["road_major", "road_minor"]);
});

test("print: pages of columns filled top to bottom, every row once, labels wrapped inside their column, a heading kept with its first row", () => {
  const rows = Array.from({length: 90}, (_, i) => ({label: `row ${i}${i % 7 ? "" : " with a label far too long for one line of a column"}`,
                                                    group: `Group ${Math.floor(i / 9)}`, w: 20, h: 20, swatch: "/20/20"}));
  const svgs = rows.map(() => [`<svg width="20" height="20"></svg>`]);
  const pages = legendPages(rows, svgs, {paper: [210, 297], columns: 2, margin: 15});
  assert.equal(pages.length, 2);
  const texts = pages.flatMap(p => [...p.matchAll(/<text x="([\d.]+)" y="([\d.]+)"[^>]*>([^<]*)<\/text>/g)]
    .map(([, x, y, text]) => ({x: +x, y: +y, text})));
  // A4 in CSS pixels, 15 mm margins, two columns 24 px apart.
  const page = 210 * 96 / 25.4, margin = 15 * 96 / 25.4, column = (page - 2 * margin - 24) / 2;
  for (const t of texts) {
    const left = t.x < page / 2 ? margin : margin + column + 24;
    assert.ok(t.x + textWidth(t.text, false, 10 * 96 / 72) <= left + column + 0.5, `"${t.text}" leaves its column`);
  }
  const joined = texts.map(t => t.text).join(" ");
  for (const r of rows) assert.ok(joined.includes(r.label.split(" with")[0]), r.label);
  assert.ok(texts.some(t => /^with a label far too long/.test(t.text)) === false);
  // A heading is followed, in its column, by its first row (indented under
  // it), also where the heading alone would fit at the column's foot (a
  // 975 px swatch leaves 34 px of the page's 1009).
  const foot = legendPages([{label: "tall", w: 20, h: 975, swatch: "/20/975"}, {label: "first", group: "G", w: 20, h: 20, swatch: "/20/20"}],
                           [[`<svg width="20" height="975"></svg>`], [`<svg width="20" height="20"></svg>`]],
                           {paper: [210, 297], columns: 2, margin: 15}).join("");
  const at = text => +new RegExp(`<text x="([\\d.]+)"[^>]*>${text}<`).exec(foot)[1];
  assert.equal(at("first"), at("G") + 12 + 20 + 8);
  texts.forEach((t, k) => {
    if (t.text.startsWith("Group")) assert.equal(texts[k + 1].x, t.x + 12 + 20 + 8, `${t.text} ends its column`);
  });
});

test("notes as footnotes, numbered once each; ramp ticks at most six, evenly", () => {
  const rows = [{label: "a", swatch: "/20/20", w: 20, h: 20, notes: ["One.", "Two."]},
                {label: "b", swatch: "/20/20", w: 20, h: 20, notes: ["Two."]},
                {label: "r", ramp: {min: 0, max: 10, stops: Array.from({length: 11}, (_, i) => [i, "000000"]),
                                    colors: ["000000", "ffffff"]}}];
  const html = legendSnippet(rows, {notes: true});
  assert.match(html, /<span[^>]*>a<sup>1,2<\/sup><\/span>[\s\S]*<span[^>]*>b<sup>2<\/sup><\/span>[\s\S]*<ol[^>]*><li>One.<\/li><li>Two.<\/li><\/ol>/);
  assert.doesNotMatch(legendSnippet(rows), /<sup>|<ol/);
  assert.match(legendSnippet(rows, {rampWidth: 300}), /width:300px;height:12px/);
  const svg = legendSvg(rows, [["<svg width=\"20\" height=\"20\"></svg>"], ["<svg width=\"20\" height=\"20\"></svg>"], []], {notes: true});
  assert.match(svg, />a ¹,²<\/text>[\s\S]*>b ²<\/text>[\s\S]*>¹ One.<\/text>[\s\S]*>² Two.<\/text>/);
  // 11 stops, with room for each: six ticks, taken evenly.
  assert.deepEqual([...svg.matchAll(/text-anchor="\w+">(\d+)</g)].map(m => +m[1]), [0, 2, 4, 6, 8, 10]);
});
