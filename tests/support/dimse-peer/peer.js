// A scripted peer for the workflow tests: Modality Performed Procedure Step SCP and Storage
// Commitment SCP. It accepts every association, answers N-CREATE, N-SET and N-ACTION, and
// writes every request it received (command and data set, naturalized) to a JSON file.
//
//   node peer.js OUT.json [--commit same|new|none] [--commit-port P] [--fail UID,...]
//                [--create-status N] [--set-status N] [--delay-ms N] PORT
//
// --commit  how the N-EVENT-REPORT answers an N-ACTION: on the same association (default),
//           on a new one to 127.0.0.1:P with the requester's AE title, or not at all.
// --fail    SOP instance UIDs reported as failed (reason 0110H) instead of committed.
'use strict';

const fs = require('fs');
const dimse = require('dcmjs-dimse');
const { Server, Scp, Client, Dataset } = dimse;
const { NCreateResponse, NSetResponse, NActionResponse, NEventReportResponse } = dimse.responses;
const { NEventReportRequest } = dimse.requests;
const { Status, PresentationContextResult, TransferSyntax, SopClass } = dimse.constants;
const { CEchoResponse } = dimse.responses;
// Our side closes released connections abortively; the resets are not news.
dimse.log.setLevel(process.env.DIMSE_PEER_LOG || 'silent');

const args = process.argv.slice(2);
const port = Number(args.pop());
const out = args.shift();
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 ? args[at + 1] : fallback;
};
const commitMode = option('--commit', 'same');
const commitPort = Number(option('--commit-port', '0'));
const failing = new Set(option('--fail', '').split(',').filter((s) => s));
const createStatus = Number(option('--create-status', '0'));
const setStatus = Number(option('--set-status', '0'));
const delayMs = Number(option('--delay-ms', '0'));
const CommitmentInstance = '1.2.840.10008.1.20.1.1';

const received = [];
function keep(entry) {
  received.push(entry);
  fs.writeFileSync(out + '.tmp', JSON.stringify(received, null, 1));
  fs.renameSync(out + '.tmp', out);
}

function eventReport(request, callingAeTitle) {
  const ds = request.getDataset().getElements();
  const refs = ds.ReferencedSOPSequence || [];
  const committed = refs.filter((r) => !failing.has(r.ReferencedSOPInstanceUID));
  const failed = refs
    .filter((r) => failing.has(r.ReferencedSOPInstanceUID))
    .map((r) => ({ ...r, FailureReason: 0x0110 }));
  const elements = { TransactionUID: ds.TransactionUID };
  if (committed.length) elements.ReferencedSOPSequence = committed;
  if (failed.length) elements.FailedSOPSequence = failed;
  const report = new NEventReportRequest(
    SopClass.StorageCommitmentPushModel,
    CommitmentInstance,
    failed.length ? 2 : 1
  );
  report.setDataset(new Dataset(elements));
  report.on('response', (response) => {
    keep({ command: 'N-EVENT-REPORT-RSP', status: response.getStatus(), on: commitMode });
  });
  if (commitMode === 'new') {
    const client = new Client();
    client.addRequest(report);
    client.on('networkError', (e) => keep({ command: 'network error', error: String(e) }));
    client.send('127.0.0.1', commitPort, 'DIMSEPEER', callingAeTitle);
  }
  return report;
}

class Peer extends Scp {
  associationRequested(association) {
    this.association = association;
    keep({
      command: 'A-ASSOCIATE-RQ',
      calling: association.getCallingAeTitle(),
      called: association.getCalledAeTitle(),
    });
    for (const c of association.getPresentationContexts()) {
      const context = association.getPresentationContext(c.id);
      const syntaxes = context.getTransferSyntaxUids();
      const usable = [TransferSyntax.ExplicitVRLittleEndian, TransferSyntax.ImplicitVRLittleEndian]
        .find((ts) => syntaxes.includes(ts));
      if (usable) context.setResult(PresentationContextResult.Accept, usable);
      else context.setResult(PresentationContextResult.RejectTransferSyntaxesNotSupported);
    }
    this.sendAssociationAccept();
  }

  cEchoRequest(request, callback) {
    const response = CEchoResponse.fromRequest(request);
    response.setStatus(Status.Success);
    callback(response);
  }

  nCreateRequest(request, callback) {
    keep({
      command: 'N-CREATE',
      sopClass: request.getAffectedSopClassUid(),
      sopInstance: request.getAffectedSopInstanceUid(),
      dataset: request.getDataset().getElements(),
    });
    const response = NCreateResponse.fromRequest(request);
    response.setStatus(createStatus);
    callback(response);
  }

  nSetRequest(request, callback) {
    keep({
      command: 'N-SET',
      sopClass: request.getRequestedSopClassUid(),
      sopInstance: request.getRequestedSopInstanceUid(),
      dataset: request.getDataset().getElements(),
    });
    const response = NSetResponse.fromRequest(request);
    response.setStatus(setStatus);
    callback(response);
  }

  nActionRequest(request, callback) {
    keep({
      command: 'N-ACTION',
      sopClass: request.getRequestedSopClassUid(),
      sopInstance: request.getRequestedSopInstanceUid(),
      actionType: request.getActionTypeId(),
      dataset: request.getDataset().getElements(),
    });
    const response = NActionResponse.fromRequest(request);
    response.setStatus(Status.Success);
    callback(response);
    if (commitMode === 'none') return;
    const calling = this.association.getCallingAeTitle();
    setTimeout(() => {
      const report = eventReport(request, calling);
      if (commitMode === 'same') this.sendRequests(report);
    }, delayMs);
  }

  nEventReportRequest(request, callback) {
    callback(NEventReportResponse.fromRequest(request));
  }

  associationReleaseRequested() {
    keep({ command: 'A-RELEASE-RQ' });
    this.sendAssociationReleaseResponse();
  }

  abort() {
    keep({ command: 'A-ABORT' });
  }
}

const server = new Server(Peer);
server.on('networkError', (e) => keep({ command: 'network error', error: String(e) }));
server.listen(port);
fs.writeFileSync(out, '[]');
process.on('SIGTERM', () => {
  server.close();
  process.exit(0);
});
