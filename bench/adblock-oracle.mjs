// The Adblock-list engine's oracle: uBlock Origin's engine (npm package
// @gorhill/ubo-core) answering the same requests with the same context.
// bench/run.sh installs it into bench/data/peers and runs this file there.
//
//   node adblock-oracle.mjs generated OUT
//     Small lists that each exercise one anchor, separator, option or
//     combination, judged over every combination of a fixed set of URLs,
//     pages and types; writes OUT (committed as
//     tests/engine/data/adblock-oracle.txt, read by the engine's tests).
//   node adblock-oracle.mjs corpus EASYLIST EASYPRIVACY SITELIST OUT
//     The recorded request URLs with the type and page assigned below;
//     writes OUT (type, page, URL and uBO's answer per line) and prints
//     one line per peer engine: name, requests, blocked, median, p99 and
//     max microseconds per verdict with context.

import fs from 'node:fs';

const uboTypes = {
    script: 'script', image: 'image', stylesheet: 'stylesheet', object: 'object',
    subdocument: 'sub_frame', xmlhttprequest: 'xmlhttprequest', media: 'media', font: 'font',
    ping: 'ping', other: 'other', document: 'main_frame',
};

const { StaticNetFilteringEngine, pslInit } = await import('@gorhill/ubo-core');
const snfe = await StaticNetFilteringEngine.create();
// The package's own public suffix list (a serialized copy) does not load
// here: every host is its own domain, which changes "$third-party" and the
// entities. It is given the list the engine compiles in instead.
if (!pslInit(fs.readFileSync('/usr/share/publicsuffix/public_suffix_list.dat', 'utf8')).getDomain('a.example.com'))
    throw new Error('the public suffix list did not load');
const ubo = (url, page, type) => snfe.matchRequest({ originURL: page, url, type: uboTypes[type] });

const [mode, ...args] = process.argv.slice(2);

if (mode === 'generated') {
    const urls = [
        'http://ads.example.com/banner.gif', 'https://sub.ads.example.com:8080/x/ad.js?a=1',
        'http://badads.example.com/ad', 'http://ads.example.community/', 'http://example.com/ads/track.gif',
        'http://example.com/?u=http://ads.example.com/', 'http://cdn.example.net/ad-top-slot?x',
        'http://cdn.example.net/ad-top-slots', 'http://cdn.example.net/AdBanner/1.png',
        'http://tracker.test/pixel/1', 'http://www.tracker.test/ad12.gif', 'http://a.com/ads/x.js',
        'http://x.b.a.com/ads/x.js', 'http://static.google.co.uk/ads/x.js', 'https://example.com/banner/',
        'http://example.com/path/banner/', 'http://example.com:81/ad^x', 'http://127.0.0.2/ads/x.js',
    ];
    const pages = ['http://www.example.com/', 'http://a.com/page', 'http://x.b.a.com/', 'https://www.google.co.uk/',
                   'http://tracker.test/', 'http://127.0.0.1/'];
    const types = ['image', 'script', 'subdocument', 'xmlhttprequest', 'stylesheet', 'document'];
    const groups = [
        ['||ads.example.com^'], ['||example.com^'], ['||example.com/ads/'], ['|http://example.com/'], ['|https://'],
        ['ad.js|'], ['/banner/|'], ['/ads/*.gif'], ['ad-*-slot^'], ['^ad^'], ['ads'], ['||ads.'], ['.com/ads/'],
        ['||example.com^*/track'], ['/AdBanner/$match-case'], ['/adbanner/'], ['/\\/ad[0-9]+\\./'],
        ['/^https?:\\/\\/ads\\./'], ['/ADS/$image'], ['/ads/$~image'], ['/ads/$script,image'],
        ['/ads/$~script,~image'], ['/ads/$xhr'], ['/ads/$css'], ['/ads/$frame'], ['/ads/$subdocument'],
        ['/ads/$document'], ['/ads/$all'], ['/ads/$third-party'], ['/ads/$~third-party'], ['/ads/$3p'],
        ['/ads/$1p'], ['/ads/$first-party'], ['/ads/$~first-party'], ['/ads/$domain=a.com'],
        ['/ads/$domain=a.com|~b.a.com'], ['/ads/$domain=~a.com'], ['/ads/$domain=google.*'],
        ['/ads/$domain=example.com|tracker.test,script'], ['||tracker.test^$third-party,image'],
        ['/ads/', '@@/ads/x.js'], ['/ads/', '@@||a.com^$script'], ['/ads/$important', '@@/ads/x.js'],
        ['/ads/', '@@/ads/$domain=a.com'], ['/ads/', '@@/ads/$~third-party'], ['||example.com^', '@@||example.com^$image'],
        ['/ads/x.js', '/ads/x.js$badfilter'], ['/ads/$script', '/ads/$script,badfilter'],
        ['0.0.0.0 tracker.test'], ['127.0.0.1 ads.example.com'], ['||127.0.0.2^$third-party'],
        ['*ad*$image'], ['|http://*.com/ads'], ['example.com:81/ad^'], ['/ads/$ping,media,font,object,other'],
        ['||google.co.uk^$domain=google.*'], ['/ads/x.js$script,domain=~x.b.a.com'],
    ];
    const out = [
        '# uBlock Origin (@gorhill/ubo-core) on small lists, made by bench/adblock-oracle.mjs.',
        '# "u", "p", "t": the URLs, pages and types; then per list its lines ("f") and',
        '# one character per URL x page x type (URL slowest): 0 no filter, 1 blocked, 2 allowed.',
        ...urls.map(u => `u ${u}`), ...pages.map(p => `p ${p}`), ...types.map(t => `t ${t}`),
    ];
    for (const lines of groups) {
        await snfe.useLists([{ name: 'oracle', raw: lines.join('\n') + '\n' }]);
        let answers = '';
        for (const url of urls)
            for (const page of pages)
                for (const type of types) answers += String(ubo(url, page, type));
        for (const line of lines) out.push(`f ${line}`);
        out.push(`v ${answers}`);
    }
    fs.writeFileSync(args[0], out.join('\n') + '\n');
} else if (mode === 'corpus') {
    const [easylist, easyprivacy, sitelist, outPath] = args;
    const lists = [
        { name: 'easylist', raw: fs.readFileSync(easylist, 'utf8') },
        { name: 'easyprivacy', raw: fs.readFileSync(easyprivacy, 'utf8') },
    ];
    // The page: the last URL seen whose path is "/" (the recording visits
    // a site's front page, then its resources). The type: from the path's
    // extension, "other" when it says nothing.
    const typeOf = url => {
        const path = url.replace(/[?#].*$/, '').toLowerCase();
        if (/\.(js|jsonp)$/.test(path)) return 'script';
        if (/\.(gif|png|jpe?g|webp|svg|ico|bmp)$/.test(path)) return 'image';
        if (/\.css$/.test(path)) return 'stylesheet';
        if (/\.(woff2?|ttf|eot|otf)$/.test(path)) return 'font';
        if (/\.(swf)$/.test(path)) return 'object';
        if (/\.(mp4|webm|mp3|m3u8|flv)$/.test(path)) return 'media';
        if (/\.(html?|php|aspx?)$/.test(path)) return 'subdocument';
        return 'other';
    };
    const requests = [];
    let page = '';
    for (const url of fs.readFileSync(sitelist, 'utf8').split(/\r?\n/)) {
        if (url === '') continue;
        if (/^https?:\/\/[^/?#]+\/$/i.test(url) || page === '') {
            page = url;
            continue;
        }
        requests.push({ url, page, type: typeOf(url) });
    }
    await snfe.useLists(lists);
    const answers = requests.map(r => ubo(r.url, r.page, r.type));
    fs.writeFileSync(outPath, requests.map((r, i) => `${r.type}\t${r.page}\t${r.url}\t${answers[i]}`).join('\n') + '\n');

    const measure = (name, judge) => {
        const times = new Float64Array(requests.length);
        let blocked = 0;
        requests.forEach((r, i) => {
            const start = process.hrtime.bigint();
            if (judge(r)) blocked += 1;
            times[i] = Number(process.hrtime.bigint() - start) / 1000;
        });
        times.sort();
        const at = f => times[Math.min(times.length - 1, Math.floor(f * times.length))];
        console.log(`${name} ${requests.length} ${blocked} ${at(0.5).toFixed(2)} ${at(0.99).toFixed(2)} ` +
                    `${times[times.length - 1].toFixed(1)}`);
    };
    measure('@gorhill/ubo-core', r => ubo(r.url, r.page, r.type) === 1);
    const { FiltersEngine, Request } = await import('@ghostery/adblocker');
    const engine = FiltersEngine.parse(lists.map(list => list.raw).join('\n'));
    const ghosteryTypes = { ...uboTypes, subdocument: 'sub_frame' };
    measure('@ghostery/adblocker', r => engine.match(Request.fromRawDetails({
        url: r.url, sourceUrl: r.page, type: ghosteryTypes[r.type],
    })).match);
} else {
    console.error('usage: node adblock-oracle.mjs generated OUT | corpus EASYLIST EASYPRIVACY SITELIST OUT');
    process.exit(2);
}
