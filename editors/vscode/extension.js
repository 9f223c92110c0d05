// Starts `quarrow-dax lsp` for .dax, TMDL and .bim files and connects the
// editor to it over standard input and output.
const vscode = require("vscode");
const { LanguageClient, TransportKind } = require("vscode-languageclient/node");

let client;

function activate(context) {
  const settings = vscode.workspace.getConfiguration("quarrowDax");
  const serverOptions = {
    command: settings.get("path", "quarrow-dax"),
    args: ["lsp"],
    transport: TransportKind.stdio,
  };
  const clientOptions = {
    documentSelector: [
      { scheme: "file", language: "dax" },
      { scheme: "untitled", language: "dax" },
      { scheme: "file", language: "tmdl" },
      { scheme: "file", pattern: "**/*.bim" },
    ],
    // Model files, reports and configuration changed outside the editor
    // (a checkout, a save in Power BI Desktop) are read again.
    synchronize: {
      fileEvents: vscode.workspace.createFileSystemWatcher("**/*.{tmdl,bim,pbir,json,toml}"),
    },
    // Empty settings are left to the configuration files the server reads.
    initializationOptions: {
      separators: settings.get("separators", "") || undefined,
      grammar: settings.get("grammar", "") || undefined,
    },
  };
  client = new LanguageClient("quarrowDax", "quarrow-dax", serverOptions, clientOptions);
  context.subscriptions.push(client);
  return client.start();
}

function deactivate() {
  return client ? client.stop() : undefined;
}

module.exports = { activate, deactivate };
