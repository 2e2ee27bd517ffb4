// The cosmetic filters another browser's blocker (@ghostery/adblocker) gives
// a page, per distinct host of the recorded pages, on the same lists, for
// comparison only. bench/run.sh runs this file from bench/data/peers.
//
//   node cosmetic-peer.mjs SITELIST LIST...
//
// Prints one line: name, hosts, median and p99 microseconds per host (the
// getCosmeticsFilters call alone, hiding rules only), median selectors.

import fs from 'node:fs';
import { FiltersEngine } from '@ghostery/adblocker';

const [pagesPath, ...listPaths] = process.argv.slice(2);
const text = listPaths.map(path => fs.readFileSync(path, 'utf8')).join('\n');
const engine = FiltersEngine.parse(text, { loadCosmeticFilters: true, loadNetworkFilters: false });
const hosts = [...new Set(fs.readFileSync(pagesPath, 'utf8').split(/\r?\n/)
    .map(line => /^[a-z]+:\/\/([^/:?#]+)/i.exec(line)).filter(m => m).map(m => m[1]))];

const times = [];
const counts = [];
for (const hostname of hosts) {
    const start = process.hrtime.bigint();
    const { styles } = engine.getCosmeticsFilters({
        url: `http://${hostname}/`, hostname, domain: hostname,
        getBaseRules: true, getInjectionRules: false, getExtendedRules: false, getRulesFromHostname: true,
    });
    times.push(Number(process.hrtime.bigint() - start) / 1000);
    counts.push((styles.match(/,|\{/g) || []).length);
}
const at = (values, fraction) => [...values].sort((a, b) => a - b)[Math.min(values.length - 1, Math.floor(fraction * values.length))];
console.log(`ghostery-cosmetics ${hosts.length} ${at(times, 0.5).toFixed(1)} ${at(times, 0.99).toFixed(1)} ${at(counts, 0.5)}`);
