<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title><?= e($title) ?> · Vesk guestbook</title>
<link rel="stylesheet" href="/static/site.css">
</head>
<body>
<header class="site">
  <a class="brand" href="/">Guestbook</a>
  <nav>
    <a href="/sign.php">Sign</a>
    <a href="/entries.php">Entries</a>
    <a href="/tools.php">Tools</a>
  </nav>
</header>
<main>
