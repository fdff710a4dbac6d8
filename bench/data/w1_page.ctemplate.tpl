<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{{v01}}</title>
<meta name="description" content="{{v02}}">
<meta name="keywords" content="{{v03}}">
<link rel="stylesheet" href="/static/site.css">
<style>
body { font-family: Helvetica, Arial, sans-serif; margin: 0; padding: 0; color: #222; background: #fafafa; }
header.site { display: flex; justify-content: space-between; align-items: center; padding: 8px 16px; background: #234; color: #fff; }
nav ul { list-style: none; margin: 0; padding: 0; display: flex; gap: 12px; }
table.orders { border-collapse: collapse; width: 100%; margin: 12px 0; }
table.orders td, table.orders th { border: 1px solid #ccc; padding: 4px 8px; text-align: left; }
form.account label { display: block; margin-top: 6px; font-weight: bold; }
form.account input { width: 24em; padding: 3px 4px; border: 1px solid #999; border-radius: 3px; }
aside.related { float: right; width: 30%; margin-left: 16px; padding: 8px; border-left: 3px solid #ddd; }
footer { clear: both; padding: 12px 16px; font-size: 85%; color: #666; border-top: 1px solid #ddd; }
.notice { padding: 6px 10px; background: #ffe; border: 1px solid #ec6; margin: 8px 0; }
</style>
</head>
<body>
<header class="site">
<div class="brand">{{v04}}</div>
<nav>
<ul>
<li><a href="/home" title="Home">{{v05:h}}</a></li>
<li><a href="/catalog" title="Catalog">{{v06:h}}</a></li>
<li><a href="/orders" title="Orders">{{v07:h}}</a></li>
<li><a href="/account" title="Account">{{v08:h}}</a></li>
<li><a href="/help" title="Help">{{v09:h}}</a></li>
<li><a href="/contact" title="Contact">{{v10:h}}</a></li>
</ul>
</nav>
</header>
<main>
<section class="intro">
<h1>{{v11}}</h1>
<p class="lead">{{v12:h}} elit proident adipiscing excepteur dolore labore velit occaecat ut elit irure sunt {{v13:h}}.</p>
<div class="notice">{{v14:h}}</div>
<p>voluptate pariatur quis laborum ea ex culpa pariatur laborum esse sunt id voluptate irure enim reprehenderit {{v15:h}} minim nisi reprehenderit ea dolore minim aliquip anim in fugiat enim duis laborum ex {{v16}} sint deserunt in sed id laborum incididunt consectetur exercitation minim.</p>
<p>consectetur culpa consectetur tempor ipsum quis enim veniam proident consectetur laborum magna ex labore anim sed {{v17}} laborum mollit officia duis nostrud cillum ut nisi dolor consequat proident commodo et fugiat {{v18:h}} veniam pariatur dolor sed ut incididunt labore consectetur dolore voluptate.</p>
<p>nulla consectetur id ad do occaecat eiusmod cillum fugiat irure commodo dolore veniam lorem quis ea {{v19:h}} dolore lorem amet occaecat ut ea ad reprehenderit lorem aliquip esse voluptate ad enim {{v20:h}} duis voluptate eiusmod qui ut qui elit mollit amet occaecat.</p>
<p>et voluptate adipiscing quis ex cillum ipsum magna sed ex exercitation officia enim amet minim ipsum {{v21}} ut nisi laborum officia veniam velit mollit nisi elit voluptate quis nostrud qui do {{v22}} consectetur minim excepteur culpa laboris ipsum lorem sint eiusmod anim.</p>
<p>aliquip excepteur culpa ullamco tempor duis dolore deserunt occaecat veniam sunt irure adipiscing sint cillum officia {{v23}} qui quis nisi lorem exercitation proident do est irure ullamco sed anim reprehenderit veniam {{v24}} ad incididunt reprehenderit laborum consectetur laborum mollit dolor pariatur laboris.</p>
<p>veniam laboris ad commodo laboris sunt labore proident occaecat deserunt reprehenderit cupidatat minim eiusmod do incididunt {{v25:h}} id ut nostrud veniam cillum non labore sed ea aute voluptate dolore sint et {{v26:h}} deserunt officia nisi excepteur proident eiusmod id proident esse eiusmod.</p>
<p class="small">fugiat labore et et irure occaecat et ad tempor duis amet aute sunt cillum amet dolor exercitation occaecat officia sed pariatur id commodo exercitation nisi velit ut reprehenderit ad laboris ut et qui consectetur esse tempor irure ea consequat laborum commodo do mollit veniam duis enim cillum nisi voluptate aute ea sint nostrud ea aute.</p>
</section>
<form class="account" method="post" action="/account/update">
<label for="f1">Name</label><input id="f1" name="name" type="text" value="{{v27}}">
<label for="f2">Email</label><input id="f2" name="email" type="text" value="{{v28}}">
<label for="f3">Phone</label><input id="f3" name="phone" type="text" value="{{v29:h}}">
<label for="f4">Street</label><input id="f4" name="street" type="text" value="{{v30:h}}">
<label for="f5">City</label><input id="f5" name="city" type="text" value="{{v31:h}}">
<label for="f6">Zip</label><input id="f6" name="zip" type="text" value="{{v32:h}}">
<label for="f7">Country</label><input id="f7" name="country" type="text" value="{{v33}}">
<label for="f8">Company</label><input id="f8" name="company" type="text" value="{{v34:h}}">
<label for="f9">Website</label><input id="f9" name="website" type="text" value="{{v35}}">
<label for="f10">Note</label><input id="f10" name="note" type="text" value="{{v36}}">
<button type="submit" name="c" value="save">Save</button>
</form>
<table class="orders">
<thead><tr><th>Item</th><th>Quantity</th><th>Note</th></tr></thead>
<tbody>
{{#rows}}<tr><td>{{a:h}}</td><td>{{b:h}}</td><td>{{c:h}}</td></tr>
{{/rows}}</tbody>
</table>
<aside class="related">
<h2>{{v37}}</h2>
<ul>
<li class="item">{{v38:h}} &middot; {{v39:h}}</li>
<li class="item">{{v40:h}} &middot; {{v41:h}}</li>
<li class="item">{{v42:h}} &middot; {{v43:h}}</li>
<li class="item">{{v44}} &middot; {{v45:h}}</li>
<li class="item">{{v46:h}} &middot; {{v47:h}}</li>
<li class="item">{{v48:h}} &middot; {{v49}}</li>
<li class="item">{{v50:h}} &middot; {{v51:h}}</li>
<li class="item">{{v52:h}} &middot; {{v53:h}}</li>
</ul>
</aside>
</main>
<footer>
<p>{{v54:h}} | minim sunt lorem | {{v55:h}} | ullamco pariatur tempor | {{v56}} | excepteur laborum quis | {{v57:h}} | dolore incididunt est | {{v58:h}} | cupidatat ullamco sint | {{v59:h}} | nisi non deserunt | {{v60:h}}</p>
<p>sit exercitation aute nostrud tempor aute sed dolor laborum id officia culpa nisi laboris.</p>
</footer>
</body>
</html>
