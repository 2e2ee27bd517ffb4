// The site's own script: nothing to block.
var dailySample = { ready: true };
