"""The guestbook form page for the Flask peer: the same work as examples/site/sign.vsp on a GET."""
import os
import random
import string

from flask import Flask, render_template, session

app = Flask(__name__)
# Sessions are Flask's own signed cookies; the key only has to be stable for one run.
app.secret_key = os.environ.get("PEER_SECRET", "load-test-only")

COLORS = [("red", "Red"), ("green", "Green"), ("blue", "Blue"), ("yellow", "Yellow")]
TOPICS = [("music", "Music"), ("books", "Books"), ("travel", "Travel"), ("food", "Food")]


@app.route("/sign")
def sign():
    session["pages"] = session.get("pages", 0) + 1
    # The one-time form key: six capital letters and a count, renewed after every command.
    if "key" not in session:
        session["key"] = "".join(random.choice(string.ascii_uppercase) for _ in range(6)) + "0"
    view = {"name": "", "email": "", "age": "", "color": "", "topics": [], "contact": "email",
            "message": "", "agree": ""}
    return render_template("sign.html", title="Sign the guestbook", view=view, messages={},
                           colors=COLORS, topics=TOPICS, key=session["key"], pages=session["pages"])
