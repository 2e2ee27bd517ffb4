// An advertising script: a browser that runs it shows its text.
document.write('<p style="background:#fd0;padding:8px">Ad rotator: BUY NOW, LIMITED OFFER!</p>');
