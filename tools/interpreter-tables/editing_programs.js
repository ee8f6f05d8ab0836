// Event-editing programs the program-loading and event-editing tests run, each as readable JS
// for the top level plus its activities (a program function name with the rules passed to it,
// each a JS expression). "fixture" renames events, edits, adds and removes parameters, drops
// events (an empty name, which the engine refuses) and creates new ones.
//   node make_table.js --programs editing_programs.js > ../../tests/sdk/analytics/script/tables/editing_programs.json
'use strict';
const fixture = {
  program: `
    var registerCallback = require('internal.registerCallback');
    var logEvent = require('internal.eventLogger');
    var handled = 0;
    function rename(rule) {
      registerCallback(0, function (e) {
        if (e.getEventName() === rule.from) { e.setEventName(rule.to); return 0; }
        return -1;
      }, { type: 'edit', priority: rule.priority });
    }
    function tidy(rule) {
      registerCallback(0, function (e) {
        handled = handled + 1;
        e.setParamValue('handled', handled);
        var price = e.getParamValue('price');
        if (price !== null) { e.setParamValue('price_cents', price * 100); }
        var tags = e.getParamValue('tags');
        if (tags !== null) {
          e.setParamValue('tags', tags.split(',').filter(function (t) { return t.length > 0; })
                                      .map(function (t) { return t.trim().toLowerCase(); }).join('|'));
        }
        e.setParamValue(rule.remove, null);
        return 1;
      }, { type: 'edit', priority: rule.priority });
    }
    function forget(rule) {
      registerCallback(0, function (e) { e.setEventName('forgotten'); e.setParamValue('lost', true); },
                       { type: 'edit', priority: rule.priority });
    }
    function drop(rule) {
      registerCallback(0, function (e) {
        if (e.getEventName().search(rule.pattern) === 0) { e.setEventName(''); return 0; }
        return 2;
      }, { type: 'edit', priority: rule.priority });
    }
    function copy(rule) {
      registerCallback(0, function (e) {
        var name = e.getEventName();
        if (name.indexOf(rule.prefix) === 0) {
          logEvent(rule.created + '_' + name.slice(rule.prefix.length), e.getTimestamp() + 1.7,
                   { source: name, handled: handled, items: e.getParamValue('items'), nothing: null, _o: 'auto' });
        }
      }, { type: 'create' });
    }
  `,
  activities: [
    { name: 'rename', rules: ["({ from: 'old_name', to: 'new_name', priority: 5 })"] },
    { name: 'tidy', rules: ["({ remove: 'debug', priority: 10 })"] },
    { name: 'forget', rules: ["({ priority: 20 })"] },
    { name: 'drop', rules: ["({ pattern: 'debug_[0-9]+$', priority: 1 })"] },
    { name: 'copy', rules: ["({ prefix: 'purchase', created: 'copy' })"] },
  ],
};

const callback = (body, options) =>
  `var registerCallback = require('internal.registerCallback');
   function add(rule) { registerCallback(0, function (e) { ${body} }, ${options}); }`;

module.exports = {
  fixture,
  // A pattern that backtracks catastrophically on a text a server could send.
  hostileRegex: {
    program: callback("e.setParamValue('x', 1); return 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!'.search('(a+)+$');",
                      "{ type: 'edit' }"),
    activities: [{ name: 'add', rules: ['({})'] }],
  },
  tooManyCallbacks: {
    program: `var registerCallback = require('internal.registerCallback');
              for (var i = 0; i < 1001; i++) {
                registerCallback(0, function (e) { return 0; }, { type: i % 2 ? 'edit' : 'create', priority: i });
              }`,
    activities: [],
  },
  endlessLoop: {
    program: `var registerCallback = require('internal.registerCallback');
              registerCallback(0, function (e) { e.setParamValue('first', 1); return 0; }, { type: 'edit', priority: 1 });
              registerCallback(0, function (e) { e.setEventName('looping'); while (true) {} }, { type: 'edit', priority: 2 });`,
    activities: [],
  },
  priorities: {
    program: `var registerCallback = require('internal.registerCallback');
              var logEvent = require('internal.eventLogger');
              var order = [];
              function add(rule) {
                registerCallback(0, function (e) { order.push(rule.label); return 0; }, { type: 'edit', priority: rule.priority });
              }
              registerCallback(0, function (e) { logEvent('order', 0, { order: order.join(' ') }); order = []; }, { type: 'create' });`,
    activities: [{
      name: 'add',
      rules: ["({ label: 'a', priority: 5 })", "({ label: 'b', priority: 9 })", "({ label: 'c', priority: 5 })",
              "({ label: 'd', priority: -1 })", "({ label: 'e', priority: 4294967294 })", "({ label: 'f' })"],
    }],
  },
  returnAtTop: { program: 'var a = 1; return a;', activities: [] },
  ruleNotMap: { program: callback('return 0;', "{ type: 'edit' }"), activities: [{ name: 'add', rules: ['(5)'] }] },
  activityNotFunction: { program: 'var add = 1;', activities: [{ name: 'add', rules: ['({})'] }] },
  handleMethods: {
    program: callback(`var original = e.getEventName();
      e.setParamValue('gone', null); e.setParamValue('empty', undefined); e.setParamValue('flag', true);
      e.setParamValue('nested', { a: [1, null, 'x'] }); e.setParamValue('number', '42');
      e.setEventName('tmp'); e.setEventName(e.getParams().orig + e.getTimestamp());
      return e.getParamValue('missing') === null ? 0 : -1;`, "{ type: 'edit' }"),
    activities: [{ name: 'add', rules: ['({})'] }],
  },
  // Programs that keep state between events: a counter and a short list stay small; the hoarders
  // grow what persists with every event, one in a global, one in an activity's closure (each by
  // large pieces, so that they reach the allowance in a few events).
  counter: {
    program: `var registerCallback = require('internal.registerCallback');
              var count = 0;
              var recent = [];
              registerCallback(0, function (e) {
                count = count + 1;
                recent.push(e.getEventName());
                if (recent.length > 3) recent.shift();
                e.setParamValue('count', count);
                e.setParamValue('recent', recent.join(','));
                return 0;
              }, { type: 'edit' });`,
    activities: [],
  },
  globalHoarder: {
    program: `var registerCallback = require('internal.registerCallback');
              var g;
              var events = 0;
              var chunk = [];
              chunk.length = 1000;
              registerCallback(0, function (e) {
                events = events + 1;
                e.setParamValue('events', events);
                if (!g) g = [];
                for (var i = 0; i < 100; i++) g.push([].concat(chunk));
                return 1;
              }, { type: 'edit' });`,
    activities: [],
  },
  closureHoarder: {
    program: `var registerCallback = require('internal.registerCallback');
              var prefix = 'k';
              for (var j = 0; j < 10; j++) prefix = prefix + prefix;
              function keep(rule) {
                var seen = {};
                var events = 0;
                registerCallback(0, function (e) {
                  events = events + 1;
                  e.setParamValue('events', events);
                  for (var i = 0; i < rule.perEvent; i++) seen[prefix + events + '_' + i] = events;
                  return 1;
                }, { type: 'edit' });
              }`,
    activities: [{ name: 'keep', rules: ['({ perEvent: 100 })'] }],
  },
  unchangedButCreated: {
    program: `var registerCallback = require('internal.registerCallback');
              var logEvent = require('internal.eventLogger');
              registerCallback(0, function (e) { var n = e.getEventName(); e.setEventName('x'); e.setEventName(n); return 0; }, { type: 'edit' });
              registerCallback(0, function (e) { logEvent('side', 1, {}); }, { type: 'create' });`,
    activities: [],
  },
  modules: {
    program: `var registerCallback = require('internal.registerCallback');
              var logEvent = require('internal.eventLogger');
              var config = require('internal.remoteConfig');
              var meta = require('internal.appMetadata');
              var platform = require('internal.platform');
              var nothing = require('internal.nothing');
              var same = require('internal.platform') === platform && require('internal.nothing') === nothing;
              registerCallback(0, function (e) {
                var m = meta();
                logEvent('modules', 0, { setting: config.getValue('k', 'fallback'), pkg: m.package_name, platform: m.platform,
                                         version: platform.getVersion(), nothing: typeof nothing, same: same });
              }, { type: 'create' });`,
    activities: [],
  },
};
