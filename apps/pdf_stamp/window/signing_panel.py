"""The window's 電子署名 section: a digital ID chosen (its password is never
kept) or made, output signed with the seal as the signature's appearance, the
previewed document's signatures, and the password of a protected PDF.

pyHanko is imported only when an ID is loaded or a signed document is shown.
"""

import os

import flet as ft

from pdf_stamp import naming, safety
from pdf_stamp.exceptions import StampError
from pdf_stamp.i18n import _
from pdf_stamp.pages import one_page_each
from pdf_stamp.window import results


class SigningPanel:
    """Owns its controls and handlers; talks to the other panels through the
    window's context: its page, tell(), sources() and pdf_password, and the
    output panel's `job()` (the StampJob the fields describe)."""

    def __init__(self, ctx, job, show_results=None):
        self.ctx, self.page, self.tell, self.job = ctx, ctx.page, ctx.tell, job
        self.show_results = show_results or (lambda done: results.show(ctx, done))
        self.digital_id = None  # loaded once; the password is not kept
        self.id_path = ft.TextField(label=_("Digital ID (.p12/.pfx)"), read_only=True, width=300,
                                    dense=True)
        self.holder = ft.Text("")
        self.id_picker = ft.FilePicker(on_result=self.on_id_picked)
        self.new_id_picker = ft.FilePicker(on_result=self.on_new_id_path)
        self.sign_button = ft.ElevatedButton(_("Sign and save"), icon=ft.Icons.VERIFIED,
                                             on_click=self.on_sign)
        self.signature_list = ft.Column(spacing=2)
        ctx.page.overlay.extend([self.id_picker, self.new_id_picker])
        self.view = ft.Column([
            ft.Text(_("Digital signature"), weight=ft.FontWeight.BOLD),
            ft.Row([self.id_path,
                    ft.OutlinedButton(_("Choose ID"), icon=ft.Icons.KEY, on_click=lambda e:
                                      self.id_picker.pick_files(
                                          dialog_title=_("Choose a digital ID"),
                                          allowed_extensions=["p12", "pfx"],
                                          file_type=ft.FilePickerFileType.CUSTOM)),
                    ft.OutlinedButton(_("New ID"), icon=ft.Icons.ADD_CARD, on_click=self.on_new_id)]),
            ft.Row([self.sign_button, self.holder]),
            self.signature_list,
        ], spacing=10)

    # ---- dialogs ------------------------------------------------------------------

    def ask(self, title, fields, on_ok):
        """A dialog with text `fields`; `on_ok(values)` when confirmed."""
        def confirm(e):
            self.page.close(dialog)
            on_ok([field.value or "" for field in fields])

        for field in fields:
            field.on_submit = confirm
        dialog = ft.AlertDialog(
            title=ft.Text(title), content=ft.Column(fields, tight=True),
            actions=[ft.TextButton(_("Cancel"), on_click=lambda e: self.page.close(dialog)),
                     ft.TextButton("OK", on_click=confirm)])
        self.page.open(dialog)
        return dialog

    @staticmethod
    def password_field(label):
        return ft.TextField(label=label, password=True, can_reveal_password=True, autofocus=True)

    # ---- the digital ID -------------------------------------------------------------

    def on_id_picked(self, e):
        paths = [f.path for f in (e.files or []) if f.path]
        if paths:
            self.ask_id_password(paths[0])

    def ask_id_password(self, path):
        name = os.path.basename(path)
        self.ask(_("Password for {what}: ").format(what=_("the digital ID {name}").format(name=name)),
                 [self.password_field(_("Password"))],
                 lambda values: self.load(path, values[0].encode("utf-8")))

    def load(self, path, password):
        from pdf_stamp.identity import load_id

        try:
            self.digital_id = load_id(path, password)
        except StampError as error:
            self.tell(str(error))
            return
        self.id_path.value = path
        self.holder.value = _("Signer: {name}").format(name=self.digital_id.name)
        self.page.update()

    def on_new_id(self, e):
        fields = [ft.TextField(label=_("Name shown in signatures"), autofocus=True),
                  ft.TextField(label=_("E-mail (optional)")),
                  self.password_field(_("Password")), self.password_field(_("Password again"))]
        self.ask(_("New digital ID"), fields, self.on_new_id_values)

    def on_new_id_values(self, values):
        name, email, password, again = values
        if not name.strip() or not password or password != again:
            self.tell(_("Give a name and the same password twice"))
            return
        self.new_id_values = (name.strip(), email.strip() or None, password.encode("utf-8"))
        self.new_id_picker.save_file(dialog_title=_("Save the digital ID"), file_name="ID.p12",
                                     allowed_extensions=["p12"])

    def on_new_id_path(self, e):
        if not e.path:
            return
        from pdf_stamp.identity import new_id, remember_certificate

        name, email, password = self.new_id_values
        path = e.path if e.path.lower().endswith((".p12", ".pfx")) else e.path + ".p12"
        cert = os.path.splitext(path)[0] + ".pem"
        try:
            made = new_id(name, path, password, email=email, cert_path=cert)
        except StampError as error:
            self.tell(str(error))
            return
        remember_certificate(made.certificate)
        self.load(path, password)
        self.tell(_("Digital ID for {holder} written to {path}").format(holder=made.name, path=path)
                  + "\n" + _("Certificate for --trust written to {path}").format(path=cert))

    # ---- signing and showing signatures ---------------------------------------------

    def on_sign(self, e):
        if self.digital_id is None:
            self.tell(_("Choose a digital ID first"))
            return
        sources = self.ctx.sources()
        from pdf_stamp.signing import Signing
        from pdf_stamp.stamping import stamp_file

        try:
            job = self.job()
            job.signing = Signing(self.digital_id)
            if not sources or (job.image is None and job.seal is None):
                raise StampError(_("Choose the PDF and the seal image first"))
            one_page_each(job, sources)
        except StampError as error:
            self.tell(str(error))
            return
        # In this process: the loaded key does not travel to the output's workers.
        wanted = naming.plan_names(sources, job.out_dir, job.suffix)
        self.show_results([stamp_file(job, s, w) for s, w in zip(sources, wanted)])

    def show_signatures(self, path):
        """Lists the signatures of the previewed PDF: signer, time, ✓/✗, and
        whether the document changed afterwards."""
        self.signature_list.controls = [ft.Text(line, size=12) for line in self.lines(path)]
        self.page.update()

    def lines(self, path):
        try:
            if not safety.inspect(path).signed:
                return []
            from pdf_stamp.signatures import describe_changes, report, trust_roots

            reports = report(path, trust_roots(), self.ctx.pdf_password)
        except Exception as error:  # the preview shows the file; here only why no list
            return [_("Signatures cannot be read: {reason}").format(reason=error)]
        return [_("{mark} {signer}  {time}  changed after: {changes}").format(
                    mark="✓" if r.ok(False) else "✗", signer=r.signer or "-",
                    time=r.signing_time or "-", changes=describe_changes(r.changed_after))
                for r in reports]

    def ask_pdf_password(self, path, then=lambda: None):
        """Asks for the password of the protected PDF `path`; `then()` after."""
        def keep(values):
            self.ctx.pdf_password = values[0].encode("utf-8") or None
            then()

        self.ask(_("Password for {what}: ").format(what=os.path.basename(path)),
                 [self.password_field(_("Password"))], keep)

