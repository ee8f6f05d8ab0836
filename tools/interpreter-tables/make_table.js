// Turns each snippet of snippets.js (the body of a function) into an interpreter entity tree,
// evaluates it in node, and writes the differential table the C++ test replays.
//   node make_table.js > ../../tests/sdk/analytics/script/tables/differential.json
'use strict';
const acorn = require('acorn');
const snippets = require('./snippets.js');

const BINARY = {
  '+': '0', '-': '37', '*': '26', '/': '10', '%': '25', '==': '12', '!=': '29', '===': '20', '!==': '21',
  '<': '23', '<=': '24', '>': '18', '>=': '19', '&': '56', '<<': '57', '|': '59', '>>': '60', '>>>': '61', '^': '62',
};
const UNARY = { '-': '27', '!': '28', '~': '58', typeof: '40' };

function number(n) {
  if (Number.isNaN(n)) return { num: 'NaN' };
  if (n === Infinity) return { num: 'Infinity' };
  if (n === -Infinity) return { num: '-Infinity' };
  if (Object.is(n, -0)) return { num: '-0' };
  return n;
}

function list(statements) { return ['46', ...statements.map(statement)]; }

function statementsOf(node) { return node.type === 'BlockStatement' ? node.body : [node]; }

function declarations(node) {
  const out = [];
  for (const d of node.declarations) {
    const name = d.id.name;
    if (node.kind === 'const') {
      out.push(['52', name, expression(d.init)]);
    } else {
      out.push(['41', name]);
      if (d.init) out.push(['3', name, expression(d.init)]);
    }
  }
  return out.length === 1 ? out[0] : ['5', ['46', ...out]];
}

function fn(node) {
  const name = node.id ? node.id.name : '';
  const body = node.body.type === 'BlockStatement' ? node.body.body.map(statement) : [['36', expression(node.body)]];
  return [node.type === 'FunctionDeclaration' ? '50' : '51', name, ['7', ...node.params.map((p) => p.name)], ...body];
}

function assignTarget(target, value) {
  if (target.type === 'Identifier') return ['3', target.name, value];
  if (target.type === 'MemberExpression') return ['43', expression(target.object), key(target), value];
  throw new Error('unsupported assignment target ' + target.type);
}

function read(target) { return expression(target); }

function key(member) { return member.computed ? expression(member.property) : member.property.name; }

function expression(node) {
  switch (node.type) {
    case 'Literal':
      if (node.value === null) return ['45'];
      if (typeof node.value === 'number') return number(node.value);
      return node.value;
    case 'Identifier':
      if (node.name === 'undefined') return ['44'];
      if (node.name === 'NaN') return { num: 'NaN' };
      if (node.name === 'Infinity') return { num: 'Infinity' };
      return ['15', node.name];
    case 'TemplateLiteral':
      if (node.expressions.length === 0) return node.quasis[0].value.cooked;
      break;
    case 'BinaryExpression': return [BINARY[node.operator], expression(node.left), expression(node.right)];
    case 'LogicalExpression': return [node.operator === '&&' ? '1' : '30', expression(node.left), expression(node.right)];
    case 'UnaryExpression':
      if (node.operator === '-' && node.argument.type === 'Literal') return number(-node.argument.value);
      if (UNARY[node.operator]) return [UNARY[node.operator], expression(node.argument)];
      break;
    case 'ArrayExpression': return ['7', ...node.elements.map(expression)];
    case 'ObjectExpression':
      return ['8', ...node.properties.flatMap((p) => [p.computed ? expression(p.key) : (p.key.name ?? String(p.key.value)), expression(p.value)])];
    case 'MemberExpression': return ['16', expression(node.object), key(node)];
    case 'AssignmentExpression': {
      if (node.operator === '=') return assignTarget(node.left, expression(node.right));
      const op = BINARY[node.operator.slice(0, -1)];
      return assignTarget(node.left, [op, read(node.left), expression(node.right)]);
    }
    case 'UpdateExpression': return assignTarget(node.argument, [node.operator === '++' ? '0' : '37', read(node.argument), 1]);
    case 'CallExpression':
      if (node.callee.type === 'Identifier') return [node.callee.name, ...node.arguments.map(expression)];
      if (node.callee.type === 'MemberExpression') {
        return ['2', expression(node.callee.object), key(node.callee), ['7', ...node.arguments.map(expression)]];
      }
      break;
    case 'ConditionalExpression': return ['39', expression(node.test), expression(node.consequent), expression(node.alternate)];
    case 'SequenceExpression': return ['13', ...node.expressions.map(expression)];
    case 'FunctionExpression':
    case 'ArrowFunctionExpression': return fn(node);
    default: break;
  }
  throw new Error('unsupported expression ' + node.type);
}

function loopBinding(left) {
  if (left.type === 'VariableDeclaration') return { name: left.declarations[0].id.name, kind: left.kind };
  return { name: left.name, kind: 'assign' };
}

function statement(node) {
  switch (node.type) {
    case 'ExpressionStatement': return expression(node.expression);
    case 'VariableDeclaration': return declarations(node);
    case 'FunctionDeclaration': return fn(node);
    case 'ReturnStatement': return node.argument ? ['36', expression(node.argument)] : ['36'];
    case 'BlockStatement': return ['53', ...node.body.map(statement)];
    case 'IfStatement': {
      const out = ['22', expression(node.test), list([node.consequent])];
      if (node.alternate) out.push(list([node.alternate]));
      return out;
    }
    case 'WhileStatement': return ['42', expression(node.test), ['44'], false, list(statementsOf(node.body))];
    case 'DoWhileStatement': return ['42', expression(node.test), ['44'], true, list(statementsOf(node.body))];
    case 'ForStatement': {
      const test = node.test ? expression(node.test) : true;
      const update = node.update ? expression(node.update) : ['44'];
      if (node.init && node.init.type === 'VariableDeclaration' && node.init.kind !== 'var') {
        const names = node.init.declarations.map((d) => d.id.name);
        return ['53', statement(node.init), ['63', ['7', ...names], test, update, list(statementsOf(node.body))]];
      }
      const init = node.init ? (node.init.type === 'VariableDeclaration' ? statement(node.init) : expression(node.init)) : ['44'];
      return ['5', ['46', init, ['42', test, update, false, list(statementsOf(node.body))]]];
    }
    case 'ForInStatement':
    case 'ForOfStatement': {
      const { name, kind } = loopBinding(node.left);
      const codes = node.type === 'ForInStatement' ? { assign: '47', var: '47', const: '54', let: '55' }
                                                    : { assign: '64', var: '64', const: '65', let: '66' };
      return [codes[kind], name, expression(node.right), list(statementsOf(node.body))];
    }
    case 'SwitchStatement': {
      const cases = node.cases.filter((c) => c.test);
      const fallback = node.cases.find((c) => !c.test);
      if (fallback && node.cases[node.cases.length - 1] !== fallback) throw new Error('default must be last');
      const bodies = cases.map((c) => ['5', list(c.consequent)]);
      if (fallback) bodies.push(['5', list(fallback.consequent)]);
      return ['38', expression(node.discriminant), ['46', ...cases.map((c) => expression(c.test))], ['46', ...bodies]];
    }
    case 'BreakStatement': return ['4'];
    case 'ContinueStatement': return ['6'];
    default: throw new Error('unsupported statement ' + node.type);
  }
}

// The tagged form shared with the C++ test: keeps undefined, null, NaN and -0 apart.
function tag(value) {
  if (value === undefined) return 'undefined';
  if (value === null) return 'null';
  switch (typeof value) {
    case 'boolean': return 'boolean:' + value;
    case 'number': return 'number:' + (Object.is(value, -0) ? '-0' : String(value));
    case 'string': return 'string:' + value;
    case 'function': return 'function:' + value.name;
    default: break;
  }
  if (Array.isArray(value)) {
    const parts = [];
    for (let i = 0; i < value.length; i++) parts.push(i in value ? tag(value[i]) : 'hole');
    return 'array:[' + parts.join(',') + ']';
  }
  return 'object:{' + Object.keys(value).map((k) => k + '=' + tag(value[k])).join(',') + '}';
}

// Whole event-editing programs by name: their top-level statements and their activities.
if (process.argv[2] === '--programs') {
  const programs = require(require('path').resolve(process.argv[3]));
  const parse = (js) => acorn.parse(js, { ecmaVersion: 2020, allowReturnOutsideFunction: true }).body.map(statement);
  const out = {};
  for (const [name, p] of Object.entries(programs)) {
    out[name] = {
      js: p.program,
      statements: parse(p.program),
      activities: p.activities.map((a) => ({ name: a.name, rules: a.rules.map((r) => parse(r)[0]) })),
    };
  }
  process.stdout.write(JSON.stringify(out, null, 1) + '\n');
  process.exit(0);
}

const rows = snippets.map((s) => {
  const program = acorn.parse(s.js, { ecmaVersion: 2020, allowReturnOutsideFunction: true });
  const tree = program.body.map(statement);
  let es;
  try {
    es = tag(new Function(s.js)());
  } catch (e) {
    if (s.expect === undefined) throw e;
    es = 'throws:' + e.constructor.name;
  }
  const row = { js: s.js, tree, expected: s.expect ?? es };
  if (s.expect !== undefined) {
    row.es = es;
    row.note = s.note;
  }
  return row;
});
process.stdout.write(JSON.stringify(rows, null, 1) + '\n');
