// The remote-control interface description through independent validators: the OpenAPI
// document itself (swagger-parser), then every answer the remote tests received against
// the schema of its response (ajv, which reads OpenAPI's "nullable" itself).
// Usage: node validate.mjs OPENAPI_JSON ANSWERS_FOLDER
import SwaggerParser from '@apidevtools/swagger-parser';
import Ajv from 'ajv';
import { readFileSync, readdirSync } from 'node:fs';
import { join } from 'node:path';

const [documentPath, answersFolder] = process.argv.slice(2);
if (!documentPath || !answersFolder) {
  console.error('usage: node validate.mjs OPENAPI_JSON ANSWERS_FOLDER');
  process.exit(2);
}
const failures = [];
const readJson = (file) => JSON.parse(readFileSync(file, 'utf8'));
const pointer = (...parts) => parts.map((p) => String(p).replace(/~/g, '~0').replace(/\//g, '~1')).join('/');

async function checkDocument(name, document) {
  try {
    // validate() resolves the references in place: it gets a copy.
    await SwaggerParser.validate(structuredClone(document));
  } catch (error) {
    failures.push(`${name}: ${error.message}`);
  }
}

// The JSON schema of a response, following a response's "$ref" to components/responses.
function responseSchemaRef(document, responsePointer, response) {
  if (response?.$ref?.startsWith('#/')) {
    const target = response.$ref.slice(2);
    const resolved = target.split('/').reduce((o, p) => o?.[p.replace(/~1/g, '/').replace(/~0/g, '~')], document);
    return responseSchemaRef(document, target, resolved);
  }
  return response?.content?.['application/json']?.schema
    ? `${responsePointer}/${pointer('content', 'application/json', 'schema')}`
    : null;
}

// Every schema of the document compiles, also those no answer of the tests reached.
function compileAll(ajv, document) {
  const refs = Object.keys(document.components?.schemas ?? {}).map((n) => pointer('components', 'schemas', n));
  for (const [path, operations] of Object.entries(document.paths ?? {}))
    for (const [method, operation] of Object.entries(operations))
      for (const [status, response] of Object.entries(operation.responses ?? {})) {
        const ref = responseSchemaRef(document, pointer('paths', path, method, 'responses', status), response);
        if (ref) refs.push(ref);
      }
  for (const ref of refs) {
    try {
      ajv.getSchema(`api#/${ref}`);
    } catch (error) {
      failures.push(`served description, ${ref}: ${error.message}`);
    }
  }
}

// The schema an answer must meet: its operation's response for the status, else the
// operation's default; a path or method the server does not offer answers an Error.
function schemaRef(document, answer) {
  const path = answer.path.split('?')[0];
  const method = answer.method.toLowerCase();
  const operation = document.paths?.[path]?.[method];
  if (!operation)
    return answer.status >= 400 ? pointer('components', 'schemas', 'Error') : null;
  const status = String(answer.status) in operation.responses ? String(answer.status) : 'default';
  return responseSchemaRef(document, pointer('paths', path, method, 'responses', status), operation.responses[status]);
}

const answers = readdirSync(answersFolder)
  .filter((f) => f.endsWith('.json'))
  .sort()
  .map((f) => ({ file: f, ...readJson(join(answersFolder, f)) }));
const served = answers.find((a) => a.path === '/v1/openapi.json' && a.status === 200);

await checkDocument(documentPath, readJson(documentPath));
if (!served) {
  failures.push('no answer of /v1/openapi.json was recorded');
} else {
  const document = JSON.parse(served.body);
  await checkDocument('served description', document);
  const ajv = new Ajv({ strict: false, allErrors: true });
  ajv.addSchema(document, 'api');
  compileAll(ajv, document);
  for (const answer of answers) {
    const where = `${answer.test}: ${answer.method} ${answer.path} ${answer.status}`;
    if (answer.content_type?.startsWith('text/csv')) {
      // A CSV answer has no schema: the description must offer it for this status.
      const operation = document.paths?.[answer.path.split('?')[0]]?.[answer.method.toLowerCase()];
      if (!operation?.responses?.[String(answer.status)]?.content?.['text/csv'])
        failures.push(`${where}: the description offers no text/csv answer here`);
      continue;
    }
    const ref = schemaRef(document, answer);
    if (!ref) {
      failures.push(`${where}: the description has no schema for this answer`);
      continue;
    }
    let body;
    try {
      body = JSON.parse(answer.body);
    } catch (error) {
      failures.push(`${where}: the body is no JSON (${error.message})`);
      continue;
    }
    let validate;
    try {
      validate = ajv.getSchema(`api#/${ref}`);
    } catch (error) {
      failures.push(`${where}: ${error.message}`);
      continue;
    }
    if (!validate(body))
      failures.push(`${where}: ${ajv.errorsText(validate.errors)}\n  ${answer.body}`);
  }
}

for (const f of failures) console.log(`FAIL ${f}`);
console.log(`${answers.length} answers checked against the interface description; ${failures.length} failures`);
process.exit(failures.length ? 1 : 0);
