// Judges the benchmark's URLs with two engines that blockers for other
// browsers use, on the same lists, for comparison only. bench/run.sh installs
// them into bench/data/peers and runs this file from there.
//
//   node peers.mjs EASYLIST EASYPRIVACY URLS
//
// Prints one line per engine: name, URLs, blocked, median, p99 and max
// microseconds per URL (the match call alone; the URL arrives as text).

import fs from 'node:fs';

const [easylistPath, easyprivacyPath, urlsPath] = process.argv.slice(2);
const lists = [
    { name: 'easylist', raw: fs.readFileSync(easylistPath, 'utf8') },
    { name: 'easyprivacy', raw: fs.readFileSync(easyprivacyPath, 'utf8') },
];
const urls = fs.readFileSync(urlsPath, 'utf8').split(/\r?\n/).filter(line => line !== '');

function originOf(url) {
    const match = /^[a-z]+:\/\/[^/?#]*/i.exec(url);
    return match ? match[0] + '/' : url;
}

function measure(name, judge) {
    // One pass, each URL judged once, as the verdict benchmark does.
    const times = new Float64Array(urls.length);
    let blocked = 0;
    urls.forEach((url, i) => {
        const start = process.hrtime.bigint();
        const block = judge(url);
        times[i] = Number(process.hrtime.bigint() - start) / 1000;
        if (block) blocked += 1;
    });
    times.sort();
    const at = fraction => times[Math.min(times.length - 1, Math.floor(fraction * times.length))];
    console.log(`${name} ${urls.length} ${blocked} ${at(0.5).toFixed(2)} ${at(0.99).toFixed(2)} ` +
                `${times[times.length - 1].toFixed(1)}`);
}

{
    const { FiltersEngine, Request } = await import('@ghostery/adblocker');
    const engine = FiltersEngine.parse(lists.map(list => list.raw).join('\n'));
    measure('@ghostery/adblocker', url => engine.match(Request.fromRawDetails({
        url, sourceUrl: originOf(url), type: 'other',
    })).match);
}
{
    const { StaticNetFilteringEngine } = await import('@gorhill/ubo-core');
    const snfe = await StaticNetFilteringEngine.create();
    await snfe.useLists(lists);
    measure('@gorhill/ubo-core', url => snfe.matchRequest({
        originURL: originOf(url), url, type: 'other',
    }) === 1);
}
