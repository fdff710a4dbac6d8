<?php
// The guestbook form page for the PHP peer: the same work as examples/site/sign.vsp on a GET.
session_start();
$_SESSION['pages'] = ($_SESSION['pages'] ?? 0) + 1;
// The one-time form key: six capital letters and a count, renewed after every command.
if (!isset($_SESSION['key'])) {
    $letters = '';
    for ($i = 0; $i < 6; $i++) $letters .= chr(65 + random_int(0, 25));
    $_SESSION['key'] = $letters . '0';
}
$view = ['name' => '', 'email' => '', 'age' => '', 'color' => '', 'topics' => [], 'contact' => 'email',
         'message' => '', 'agree' => ''];
$messages = [];
function e($text) { return htmlspecialchars((string)$text, ENT_QUOTES | ENT_HTML5, 'UTF-8'); }
function selected($value, $want, $text) { return (string)$value === $want ? $text : ''; }
function checked($values, $want) { return in_array($want, (array)$values, true) ? ' checked' : ''; }
function message($messages, $key, $format) {
    foreach ($messages[$key] ?? [] as $m) printf($format, $m);
}
$title = 'Sign the guestbook';
$colors = ['red' => 'Red', 'green' => 'Green', 'blue' => 'Blue', 'yellow' => 'Yellow'];
$topics = ['music' => 'Music', 'books' => 'Books', 'travel' => 'Travel', 'food' => 'Food'];
include __DIR__ . '/layout_top.php';
?>
<h1>Sign the guestbook</h1>
<?php message($messages, 'stale', '<div class="notice warn" id="stale">%s</div>'); ?>
<?php message($messages, 'form', '<div class="notice error" id="summary">%s</div>'); ?>
<form method="post" action="/sign.php" enctype="multipart/form-data" novalidate>
  <input type="hidden" name="<?= e($_SESSION['key']) ?>" value="save">
<?php foreach (['name' => ['Name', 'text', 80, 'name'], 'email' => ['E-mail', 'email', 120, 'email'],
                'age' => ['Age <span class="hint">(optional)</span>', 'text', 3, 'off']] as $field => [$label, $type, $max, $auto]): ?>
  <div class="field">
    <label for="<?= $field ?>"><?= $label ?></label>
    <input type="<?= $type ?>" id="<?= $field ?>" name="<?= e($field) ?>" value="<?= e($view[$field]) ?>" maxlength="<?= $max ?>" autocomplete="<?= $auto ?>">
    <?php message($messages, $field, '<p class="error" data-for="' . $field . '">%s</p>'); ?>
  </div>
<?php endforeach; ?>
  <div class="field">
    <label for="color">Favourite colour</label>
    <select id="color" name="color">
      <option value="">Choose one</option>
<?php foreach ($colors as $value => $text): ?>
      <option value="<?= e($value) ?>"<?= selected($view['color'], $value, ' selected') ?>><?= e($text) ?></option>
<?php endforeach; ?>
    </select>
    <?php message($messages, 'color', '<p class="error" data-for="color">%s</p>'); ?>
  </div>
  <fieldset>
    <legend>Topics you like</legend>
<?php foreach ($topics as $value => $text): ?>
    <label><input type="checkbox" name="topics" value="<?= e($value) ?>"<?= checked($view['topics'], $value) ?>> <?= e($text) ?></label>
<?php endforeach; ?>
  </fieldset>
  <fieldset>
    <legend>May we write to you?</legend>
    <label><input type="radio" name="contact" value="email"<?= selected($view['contact'], 'email', ' checked') ?>> Yes, by e-mail</label>
    <label><input type="radio" name="contact" value="never"<?= selected($view['contact'], 'never', ' checked') ?>> No, thank you</label>
  </fieldset>
  <div class="field">
    <label for="message">Message</label>
    <textarea id="message" name="message" rows="4" maxlength="1000"><?= e($view['message']) ?></textarea>
    <?php message($messages, 'message', '<p class="error" data-for="message">%s</p>'); ?>
  </div>
  <div class="field">
    <label for="photo">Photo <span class="hint">(optional: PNG, JPEG, GIF or WebP up to 512 KB)</span></label>
    <input type="file" id="photo" name="photo" accept="image/png,image/jpeg,image/gif,image/webp">
    <?php message($messages, 'photo', '<p class="error" data-for="photo">%s</p>'); ?>
  </div>
  <fieldset>
    <label><input type="checkbox" name="agree" value="yes"<?= selected($view['agree'], 'yes', ' checked') ?>> My entry may be shown to every visitor</label>
    <?php message($messages, 'agree', '<p class="error" data-for="agree">%s</p>'); ?>
  </fieldset>
  <div class="actions"><button type="submit" id="send">Sign</button></div>
</form>
<?php include __DIR__ . '/layout_bottom.php'; ?>
